library(testthat)
library(orvanelink)

test_check("orvanelink")

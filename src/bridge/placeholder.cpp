#include <Rcpp.h>

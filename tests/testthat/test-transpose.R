# Grid reordering between the server's order (Z fastest) and the Db's order
# (X fastest), against arrays written out by hand.

tr <- function(mode, orient, nx, tab) orv_call("STestTranspose", mode, as.integer(orient), as.integer(nx), tab)

test_that("grids of every shape and orientation reorder as written out by hand", {
  a <- c(10, 11, 12, 13, 14, 15) # server order of a 2 x 3 x 1 grid
  cases <- list( # mode, orientation, nodes, values in, values out
    list(1, c(1, 1, 1), c(2, 3, 1), a, c(10, 13, 11, 14, 12, 15)),
    list(1, c(-1, 1, 1), c(2, 3, 1), a, c(13, 10, 14, 11, 15, 12)),
    list(1, c(1, 0, 1), c(2, 3, 1), a, c(12, 15, 11, 14, 10, 13)),
    list(1, c(1, 1, -1), c(2, 3, 1), a, c(10, 13, 11, 14, 12, 15)), # one node along Z
    list(-1, c(1, 1, 1), c(2, 3, 1), c(10, 13, 11, 14, 12, 15), 10:15),
    list(-1, c(-1, 1, 1), c(2, 3, 1), c(13, 10, 14, 11, 15, 12), 10:15),
    list(1, c(1, 1, 1), c(2, 1, 3), 0:5, c(0, 3, 1, 4, 2, 5)),
    list(1, c(1, 1, -1), c(2, 1, 3), 0:5, c(2, 5, 1, 4, 0, 3)),
    list(1, c(1, 1, 1), c(1, 3, 2), 0:5, c(0, 2, 4, 1, 3, 5)),
    list(-1, c(1, -1, 1), c(1, 3, 2), c(0, 2, 4, 1, 3, 5), c(4, 5, 2, 3, 0, 1)),
    list(1, c(1, 1, 1), c(2, 2, 2), 0:7, c(0, 4, 2, 6, 1, 5, 3, 7)),
    list(-1, c(1, 1, 1), c(2, 2, 2), c(0, 4, 2, 6, 1, 5, 3, 7), 0:7),
    list(1, c(1, 1, 1), c(1, 1, 1), 7, 7))
  for (case in cases) {
    label <- paste(c(case[[1]], case[[2]], case[[3]]), collapse = " ")
    expect_equal(tr(case[[1]], case[[2]], case[[3]], case[[4]])$tab, case[[5]], info = label)
  }
  # The write direction undoes the read direction in every orientation.
  set.seed(3)
  v <- runif(3 * 2 * 4)
  for (ox in c(-1, 1)) for (oy in c(0, 1)) for (oz in c(-1, 1)) {
    db <- tr(1L, c(ox, oy, oz), c(3, 2, 4), v)$tab
    expect_equal(tr(-1L, c(ox, oy, oz), c(3, 2, 4), db)$tab, v, info = paste(ox, oy, oz))
  }
})

test_that("an axis without nodes leaves the values alone; a wrong length is refused", {
  r <- tr(1L, c(1, 1, 1), c(2, 0, 3), c(5, 6, 7))
  expect_equal(r$error, 0L)
  expect_equal(r$tab, c(5, 6, 7))
  expect_equal(tr(-1L, c(1, 1, 1), c(-2, 3, 1), 1:2)$tab, c(1, 2))
  expect_equal(tr(1L, c(1, 1, 1), c(2, 3, 1), 1:5)$error, 1L)
  expect_equal(tr(1L, c(1, 1, 1), c(65536, 65536, 2), 1)$error, 1L)
})

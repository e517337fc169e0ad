# Every allocation of a call, the bridge's and the client's, can fail: each
# one in turn, the call ends in an R error or with the very result it has
# when nothing fails (an allocation whose outcome the call never needed),
# keeps no bridge block, and the next call is served.

test_that(paste("every allocation of a call can fail: an error or the same result, no block kept,",
                "the next call served"), {
  skip_if_not(orv_have_server())
  local_orvane()
  fail_at <- function(n, drain_ms = 20L) orv_call("STestFailAllocation", as.integer(n),
                                                  as.integer(drain_ms))
  withr::defer(fail_at(0L, 500L))
  points <- data.frame(X = c(1, 2), Y = c(3, 4), Au = c(0.5, NA))
  cases <- list(
    list_variables = function() ListVariables("Demo", "Mining", "Grid3D"),
    read_grid = function() ReadFile("Grid3D", "Demo", "Mining"),
    read_lines = function() ReadFile("Lines", "Demo", "Mining"),
    write_file = function() {
      WriteFile(points, "New", "Demo", "Mining", overwrite = TRUE)
      ReadFile("New", "Demo", "Mining")
    },
    copy_to_db = function() CopyOrvaneToDb("Grade", "Demo", "Mining", "Grid3D"),
    copy_to_orvane = function() {
      CopyDbToOrvane(1:24 + 0.5, "Copy", "Demo", "Mining", "Grid3D")
      CopyOrvaneToDb("Copy", "Demo", "Mining", "Grid3D")
    },
    create_for_db = function() {
      CreateFileForDb(DbDescription(nx = c(3, 2)), "ForDb", "Demo", "Mining", allow_existing = TRUE)
      DescribeFile("ForDb", "Demo", "Mining")
    },
    compare_db = function() {
      DescribeFile("Samples", "Demo", "Mining")
      DbCompatible(DbDescription(coordinates = cbind(1:12, 1:12)))
    }
  )
  for (name in names(cases)) {
    expected <- suppressMessages(cases[[name]]())
    blocks <- orv_call("STestBlocks")
    n <- errors <- 0L
    repeat {
      n <- n + 1L
      fail_at(n)
      res <- tryCatch(suppressMessages(cases[[name]]()), error = identity)
      if (fail_at(0L) > 0L) break
      what <- sprintf("%s, allocation %d", name, n)
      errors <- errors + inherits(res, "error")
      if (!inherits(res, "error")) expect_identical(res, expected, label = what)
      expect_identical(orv_call("STestBlocks"), blocks, label = what)
      expect_identical(ListStudies(), "Demo", label = sprintf("the call after %s", what))
    }
    expect_identical(res, expected, label = name)
    expect_gt(errors, 0L, label = name)
  }
})

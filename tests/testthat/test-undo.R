# Nothing half-made: a write that fails on the server, or is interrupted,
# leaves the project as it was before the call.

skip_if_not(orv_have_server())

# The project's files, a File's description as its sorted lines without the
# counter of the data files written, which a removal does not take back.
snapshot <- function(project) {
  files <- list.files(project, recursive = TRUE, full.names = TRUE)
  vapply(files[basename(files) != ".vek.lock"], function(f) {
    if (basename(f) != "file.json") return(unname(tools::md5sum(f)))
    lines <- sub(",$", "", trimws(readLines(f, warn = FALSE)))
    paste(sort(lines[!startsWith(lines, '"generation"')]), collapse = "\n")
  }, "")
}

test_that("a write the server refuses half-way removes what it created", {
  project <- local_orvane()
  ListFiles("Demo", "Mining")
  before <- snapshot(project)
  # The server takes names of 128 bytes at most; the package lets 499 through.
  long <- strrep("n", 130)
  lattice <- expand.grid(X = 1:3, Y = 1:2)
  cases <- list(
    new_file = quote(WriteFile(cbind(lattice, A = 1:6 + 0.5, setNames(data.frame(1:6 + 0), long)),
                               "Half")),
    new_grid = quote(WriteFile(cbind(lattice, setNames(data.frame(1:6 + 0), long)),
                               "Half", grid = TRUE)),
    second_variable = quote(WriteFile(setNames(data.frame(1:12 + 0, 1:12 + 0), c("B", long)),
                                      "Samples")),
    variable_after_selection = quote(CopyDbToOrvane(1:12 + 0, long, file = "Samples",
                                                    selection = "Sel",
                                                    selection_values = rep(TRUE, 12)))
  )
  for (name in names(cases)) {
    expect_error(eval(cases[[name]]), "longer than 128 bytes", class = "orvane_server_error",
                 label = name)
    expect_identical(snapshot(project), before, label = name)
  }
  # When the cleanup itself cannot reach the server, the error says what may be left.
  DisconnectOrvane()
  left <- orvanelink:::.undo(list(kind = c(3L, 5L), study = c("Demo", "Demo"),
                                  directory = c("Mining", "Mining"), file = c("", "Samples"),
                                  name = c("Gone", "V")))
  expect_identical(left, c("variable 'V' of File 'Samples' in Demo/Mining",
                           "File 'Gone' in Demo/Mining"))
})

test_that("a storage fault during a write leaves neither the new File nor the new variable", {
  # More values than a File's description keeps in itself: they go to a data file.
  big <- DbDescription(nx = c(20, 10))
  cases <- list( # fault, call
    new_grid = list("write:*/Faulty/#*:28",
                    quote(WriteFile(expand.grid(X = 1:20, Y = 1:10, A = 0.5),
                                    "Faulty", grid = TRUE))),
    new_variable = list("write:*/Big/#*:5", quote(CopyDbToOrvane(1:200 + 0, "New", file = "Big"))),
    target_variable = list("write:*/Big/#*:5", quote({
      ListVariables("Demo", "Mining", "Big")
      WriteVariable(1:200 + 0, "New")
    })),
    # The File is made, then its rotation cannot be kept.
    turned_grid = list("rename:*/Rot/file.json:5",
                       quote(CreateFileForDb(DbDescription(nx = c(3, 2), angles = c(30, 0)),
                                             "Rot", "Demo", "Mining")))
  )
  for (name in names(cases)) local({
    project <- local_faulty_orvane(cases[[name]][[1]])
    CreateFileForDb(big, "Big", "Demo", "Mining")
    before <- snapshot(project)
    expect_error(eval(cases[[name]][[2]]), "No space left on device|Input/output error",
                 class = "orvane_error", label = name)
    expect_identical(snapshot(project), before, label = name)
  })
})

test_that("an interrupted write leaves only the writes that ended before it", {
  skip_if_not_installed("processx")
  cases <- list( # setup, a loop of writes of new items, what lists the items
    variables = list(paste0("n <- c(1000, 1000, 5); ",
                            "CreateFileForDb(DbDescription(nx = n), 'Big', 'Demo', 'Mining'); ",
                            "v <- runif(prod(n))"),
                     paste0("repeat { i <- i + 1; ",
                            "CopyDbToOrvane(v, paste0('V', i), selection = paste0('S', i), ",
                            "selection_values = v > 0.5) }"),
                     "ListVariables('Demo', 'Mining', 'Big')",
                     function(k) c(sprintf("S%d", k), sprintf("V%d", k))),
    files = list(paste0("g <- expand.grid(X = 1:1000, Y = 1:1000, Z = 1:5); ",
                        "g$V <- runif(nrow(g)); ListFiles('Demo', 'Mining')"),
                 "repeat { i <- i + 1; WriteFile(g, paste0('F', i), grid = TRUE) }",
                 paste0("setdiff(ListFiles('Demo', 'Mining'), c('Cores', 'Grid2D', 'Grid3D', ",
                        "'Lines', 'Samples'))"),
                 function(k) sprintf("F%d", k))
  )
  for (name in names(cases)) {
    out <- orv_interrupted(orv_project_copy(), c(cases[[name]][[1]], "i <- 0"), cases[[name]][[2]],
                           after = 2,
                           after_lines = c("cat('DONE', i, '\\n')",
                                           sprintf("cat('ITEMS', %s, '\\n')", cases[[name]][[3]])))
    expect_true(any(startsWith(out, "RESULT interrupt ")), label = name)
    # The interrupt may land after the last write ended but before `i` moved on:
    # that write is then whole and stays.
    done <- as.integer(strsplit(grep("^DONE ", out, value = TRUE), " ")[[1]][2]) - 1L
    items <- strsplit(sub("^ITEMS ?", "", grep("^ITEMS", out, value = TRUE)), " ")[[1]]
    kept <- vapply(done + 0:1, function(k) setequal(items[nzchar(items)],
                                                    cases[[name]][[4]](seq_len(k))), NA)
    expect_true(any(kept), label = paste(name, "kept", toString(items)))
  }
})

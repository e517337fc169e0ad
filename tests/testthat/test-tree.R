# ListTree(): the whole project in one call, against a copy of the sample
# project (Study Demo, Directory Mining, five Files).

skip_if_not(orv_have_server())

# File: kind, dimension, samples, lines, nodes, variables, selections.
sample_files <- list(
  Cores = list("core lines", 3L, 5L, 2L, NULL,
               c("Xb", "Yb", "Zb", "Xe", "Ye", "Ze", "Grade"), character(0)),
  Grid2D = list("grid", 2L, 20L, 0L, c(5L, 4L), "Depth", character(0)),
  Grid3D = list("grid", 3L, 24L, 0L, c(4L, 3L, 2L),
                c("Grade", "Simu[xxxxx]", "Lithology"), character(0)),
  Lines = list("gravity lines", 2L, 12L, 3L, NULL, "Gravity", character(0)),
  Samples = list("points", 2L, 12L, 0L, NULL, c("Cu", "Au"), "Inside"))

expect_tree <- function(tree, files, label) {
  expect_s3_class(tree, "orvane_tree")
  expect_identical(tree$file, names(files), label = label)
  columns <- c("kind", "dimension", "samples", "lines", "nodes", "variables", "selections")
  for (i in seq_along(files)) {
    got <- lapply(columns, function(col) tree[[col]][[i]])
    expect_identical(got, unname(files[[i]]),
                     label = sprintf("%s, File %s", label, names(files)[i]))
  }
  expect_true(all(tree$study == "Demo" & tree$directory == "Mining"), label = label)
}

test_that(paste("the sample project's tree: each File's kind, size and variables,",
                "whichever way it is named"), {
  local_orvane(timeout = 86400) # the longest time limit taken
  calls <- list(whole = quote(ListTree()), study = quote(ListTree("Demo")),
                directory = quote(ListTree(directory = "Mining")),
                both = quote(ListTree("Demo", "Mining")))
  for (name in names(calls)) expect_tree(eval(calls[[name]]), sample_files, name)
  # The walk leaves the last File in the target, as naming it would.
  expect_identical(DescribeFile()$type, "points")
  expect_identical(orvanelink:::.file_kind(c(0L, 3L, 4L, -1L, NA)),
                   c("points", "grid", rep("unknown", 3)))
  shown <- lapply(names(sample_files), function(f) capture.output(print(DescribeFile(f))))
  expect_identical(unlist(shown), c(
    "Core lines File description: 3 dimensions, 5 samples in 2 lines",
    "  samples per line: 3, 2",
    "Grid File description: 2 dimensions, 20 samples", " axis nodes origin mesh angle",
    "    x     5      0   25     0", "    y     4      0   25     0",
    "Grid File description: 3 dimensions, 24 samples", " axis nodes origin mesh angle",
    "    x     4    100   10    30", "    y     3    200   10     0",
    "    z     2      0    5     0",
    "Gravity lines File description: 2 dimensions, 12 samples in 3 lines",
    "  samples per line: 4, 5, 3 (a header sample each: 9 data samples)",
    "Point File description: 2 dimensions, 12 samples"))
})

test_that("a server that lists no variables by type gives the same tree", {
  local_orvane(version = 410)
  expect_tree(ListTree(), sample_files, "version 410")
})

test_that(paste("the tree follows Files, Directories and Studies created and deleted,",
                "and prints as a tree"), {
  project <- local_orvane()
  CreateFileForDb(DbDescription(coordinates = cbind(1:3, 4:6)), "Three", "Demo", "Mining")
  CopyDbToOrvane(c(1, NA, 3), "V", selection = "S", selection_values = c(TRUE, FALSE, TRUE))
  three <- list(Three = list("points", 2L, 3L, 0L, NULL, "V", "S"))
  expect_tree(ListTree(), c(sample_files, three), "after the creation")
  CreateDirectory("Empty", "Demo")
  expect_identical(ListDirectories("Demo", new = "Brief", delete = "Brief"), c("Empty", "Mining"))
  ListStudies(new = "Bare", location = file.path(project, "Bare"))
  tree <- ListTree()
  expect_identical(attr(tree, "empty"), data.frame(study = c("Bare", "Demo"),
                                                   directory = c(NA, "Empty"), after = c(0L, 0L)))
  expect_identical(capture.output(print(tree)), c(
    "Bare", "  (no Directory)",
    "Demo", "  Empty", "    (no File)", "  Mining",
    "    Cores    core lines, 3-D, 2 lines, 5 samples",
    "             variables : Xb, Yb, Zb, Xe, Ye, Ze, Grade",
    "    Grid2D   grid, 2-D, 5 x 4", "             variables : Depth",
    "    Grid3D   grid, 3-D, 4 x 3 x 2",
    "             variables : Grade, Simu[xxxxx], Lithology",
    "    Lines    gravity lines, 2-D, 3 lines, 12 samples", "             variables : Gravity",
    "    Samples  points, 2-D, 12 samples", "             variables : Cu, Au",
    "             selections: Inside",
    "    Three    points, 2-D, 3 samples", "             variables : V",
    "             selections: S"))
  ListFiles("Demo", "Mining", delete = "Three")
  mining <- ListTree("Demo", "Mining")
  expect_tree(mining, sample_files, "after the deletion")
  expect_output(print(mining), "^Demo\n  Mining\n    Cores ")
  tree$lines[tree$file == "Lines"] <- 1L
  expect_true("    Lines    gravity lines, 2-D, 1 line, 12 samples" %in%
                capture.output(print(tree)))
  # A subset without the tree's columns prints as the data frame it is.
  expect_output(print(tree[, c("file", "samples")]), "Grid3D +24")
  for (study in c("Bare", "Demo")) ListStudies(delete = study)
  expect_identical(capture.output(print(ListTree())), "(an empty project)")
})

test_that("a Study or Directory that is not there is an error of its kind", {
  expect_error(ListTree(), class = "orvane_not_connected")
  local_orvane()
  cases <- list( # call, words of the message
    list(quote(ListTree("Nope")), "Study 'Nope' does not exist"),
    list(quote(ListTree("Demo", "Nope")), "Directory 'Nope' does not exist"),
    list(quote(ListTree(directory = "Nope")), "of the project: Directory 'Nope' does not exist"))
  for (case in cases) {
    expect_error(eval(case[[1]]), case[[2]], fixed = TRUE, class = "orvane_not_found",
                 label = deparse(case[[1]]))
  }
})

test_that("the tree lists each level once and describes each File once, reading no value", {
  local_request_trace()
  out <- dialogue(c(traced_lines("tree <- ListTree()"), "emit('sent', sent)"),
                  project = orv_project_copy())
  sent <- strsplit(orv_result(out, "sent"), ",")[[1]]
  # The Study list, then its Directories, then its Files, then per File its
  # setting, its description and its variables listed whole and by type.
  per_file <- c("CFILESET", "CFILEINFO", "CVARLST", "CVARTLST")
  expect_identical(sent, c("CSTUDYLST", "CSTUDYSET", "CDIRLST", "CDIRSET", "CFILELST",
                           rep(per_file, 5)))
})

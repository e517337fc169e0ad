# ListTree(): the whole project in one call, against a copy of the sample
# project (Study Demo, Directory Mining, five Files).

skip_if_not(orv_have_server())

# One line per File of a tree: where it is, then its columns.
tree_lines <- function(tree) {
  columns <- c("kind", "dimension", "samples", "lines", "nodes", "variables", "selections")
  vapply(seq_len(nrow(tree)), function(i) {
    row <- lapply(setNames(columns, columns), function(col) tree[[col]][[i]])
    labelled(paste(tree$study[i], tree$directory[i], tree$file[i], sep = "/"), row)
  }, "")
}

test_that(paste("the sample project's tree: each File's kind, size and variables,",
                "whichever way it is named"), {
  local_orvane(timeout = 86400) # the longest time limit taken
  calls <- list(whole = quote(ListTree()), study = quote(ListTree("Demo")),
                directory = quote(ListTree(directory = "Mining")),
                both = quote(ListTree("Demo", "Mining")))
  whole <- ListTree()
  expect_s3_class(whole, "orvane_tree")
  for (name in names(calls)) expect_identical(eval(calls[[name]]), whole, label = name)
  orv_expect_record(tree_lines(whole), "tree-sample")
  # The walk leaves the last File in the target, as naming it would.
  expect_identical(DescribeFile()$type, "points")
  expect_identical(orvanelink:::.file_kind(c(0L, 3L, 4L, -1L, NA)),
                   c("points", "grid", rep("unknown", 3)))
  shown <- lapply(whole$file, function(f) capture.output(print(DescribeFile(f))))
  orv_expect_record(unlist(shown), "tree-descriptions")
})

test_that("a server that lists no variables by type gives the same tree", {
  local_orvane(version = 410)
  orv_expect_record(tree_lines(ListTree()), "tree-sample")
})

test_that(paste("the tree follows Files, Directories and Studies created and deleted,",
                "and prints as a tree"), {
  project <- local_orvane()
  CreateFileForDb(DbDescription(coordinates = cbind(1:3, 4:6)), "Three", "Demo", "Mining")
  CopyDbToOrvane(c(1, NA, 3), "V", selection = "S", selection_values = c(TRUE, FALSE, TRUE))
  created <- tree_lines(ListTree())
  CreateDirectory("Empty", "Demo")
  brief <- ListDirectories("Demo", new = "Brief", delete = "Brief")
  ListStudies(new = "Bare", location = file.path(project, "Bare"))
  tree <- ListTree()
  ListFiles("Demo", "Mining", delete = "Three")
  mining <- ListTree("Demo", "Mining")
  orv_expect_record(tree_lines(mining), "tree-sample")
  for (study in c("Bare", "Demo")) ListStudies(delete = study)
  # The record then shows the tree printed: whole, of one Directory, with a File of one line,
  # a subset without the tree's columns (a data frame), rows of it that lost the
  # empty Studies and Directories, and an empty project.
  shown <- function(x) capture.output(print(x))
  orv_expect_record(c(created, labelled("Directories", brief),
                      paste("empty:", deparse1(attr(tree, "empty"))), shown(tree), shown(mining),
                      shown(within(tree, lines[file == "Lines"] <- 1L)),
                      shown(tree[, c("file", "samples")]),
                      shown(structure(tree[1:2, ], empty = NULL)), shown(ListTree())),
                    "tree-created")
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

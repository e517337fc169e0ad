# Helpers of the transfer, compatibility and browser tests.

# Values of a variable as the server keeps them on disk (server order),
# found through the File's description of its variables.
stored_values <- function(project, file, var) {
  dir <- file.path(project, "Demo", "Mining", file)
  js <- paste(readLines(file.path(dir, "file.json"), warn = FALSE), collapse = "\n")
  js <- gsub('"items": \\[[^]]*\\]', "", js)
  blocks <- regmatches(js, gregexpr("\\{[^{}]*\\}", js))[[1]]
  block <- blocks[grepl(sprintf('"name": "%s"', var), blocks, fixed = TRUE)]
  path <- file.path(dir, sub('.*"data": "([^"]+)".*', "\\1", block))
  readBin(path, "double", file.size(path) / 8, endian = "little")
}

# Server order (Z fastest) of a grid of nx*ny*nz nodes given in Db order
# (X fastest), and back.
db_to_server <- function(v, n) as.vector(aperm(array(v, n), c(3, 2, 1)))
server_to_db <- function(v, n) as.vector(aperm(array(v, rev(n)), c(3, 2, 1)))

# Child-side printer: values as R prints them alone, without padding.
emit_def <- 'emit <- function(tag, x) cat(sprintf("RESULT %s %s\\n", tag, paste(x, collapse = ",")))'

# A dialogue whose script ends by disconnecting, so that the last call of
# the test is followed by an echoed line in the child's output.
dialogue <- function(lines, project = NULL, ...) {
  end <- if (!is.null(project)) 'invisible(.Call("SDisconnectOrvane", PACKAGE = "orvanelink"))'
  orv_dialogue(c(emit_def, lines, end), project, ...)
}

# Numbers printed by emit().
emitted <- function(out, tag) as.numeric(strsplit(orv_result(out, tag), ",")[[1]])

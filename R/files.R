# Whole Files as data frames: one row per sample, one column per coordinate
# and per numeric variable (one per item of a macro variable), and back.

# Kinds of variable, from the server's type code and bit length: a selection
# is a 1-bit numeric variable.
.variable_kind <- function(type, bits) {
  kind <- c("float", "character", "x", "y", "z", "macro")[type + 1L]
  kind[is.na(kind)] <- "other"
  kind[kind == "float" & bits == 1L] <- "selection"
  kind
}

.readable_kinds <- c("float", "macro", "selection")

# The description of a File with its variables: name, kind, unit and number
# of items (1, or a macro variable's count), the names of its coordinates,
# and the macro indices of each macro variable's items (a read asks for
# them by index).
.describe_file_variables <- function(study, directory, file) {
  res <- .orvane_call(sprintf("describe File '%s'", file), "IDescribeFile", study, directory, file, 1L)
  d <- .file_description(res)
  v <- res$variables
  kind <- .variable_kind(as.integer(v$type), as.integer(v$bits))
  d$variables <- data.frame(name = as.character(v$name), kind = kind, unit = as.character(v$unit),
                            items = ifelse(kind == "macro", lengths(v$items), 1L), stringsAsFactors = FALSE)
  d$macro_items <- stats::setNames(lapply(v$items, as.integer), as.character(v$name))[kind == "macro"]
  axes <- c("x", "y", "z")[seq_len(d$ndim)]
  d$coordinate_names <- if (d$grid) {
    # A grid's coordinates follow from its geometry; the server may name them.
    nm <- as.character(res$coordinates)[seq_len(d$ndim)]
    ifelse(nzchar(nm), nm, c("X", "Y", "Z")[seq_len(d$ndim)])
  } else {
    d$variables$name[match(axes, d$variables$kind, nomatch = 0L)]
  }
  d
}

# Server names of the variables a user named: a macro variable by its name
# or by its stem (without "[xxxxx]"); coordinates are always columns anyway.
.match_variables <- function(requested, d, file, arg) {
  vars <- d$variables
  stems <- ifelse(vars$kind == "macro", sub("\\[xxxxx\\]$", "", vars$name), vars$name)
  pos <- match(requested, vars$name)
  pos[is.na(pos)] <- match(requested[is.na(pos)], stems)
  if (anyNA(pos)) {
    reason <- sprintf("File '%s' has no variable %s", file, paste0("'", requested[is.na(pos)], "'", collapse = ", "))
    .orvane_stop("not_found", sprintf("read File '%s'", file), reason, message = reason)
  }
  bad <- !vars$kind[pos] %in% c(.readable_kinds, "x", "y", "z")
  if (any(bad)) {
    .fail(arg, sprintf("names %s, which hold no numbers", paste0("'", requested[bad], "'", collapse = ", ")))
  }
  unique(vars$name[pos][vars$kind[pos] %in% .readable_kinds])
}

# A vector of variable names, or NULL.
.check_names <- function(x, arg) {
  if (is.null(x)) return(invisible(NULL))
  if (!is.character(x) || length(x) == 0L || anyNA(x) || any(!nzchar(x))) {
    .fail(arg, "must hold variable names (a character vector without NA or empty strings)")
  }
  if (any(nchar(x, type = "bytes") > .name_max)) .fail(arg, sprintf("must hold names of at most %d characters", .name_max))
  invisible(x)
}

# Node coordinates of a grid in Db order (X fastest): origin plus the
# rotated offsets, R = Rz(angle_z) Ry(angle_y) Rx(angle_x), angles in degrees
# and in the order of the File's description (Z first).
.grid_nodes <- function(d) {
  n <- c(d$nx, 1L, 1L)[1:3]
  x0 <- c(d$x0, 0, 0)[1:3]
  dx <- c(d$dx, 0, 0)[1:3]
  a <- c(d$angles, 0, 0)[1:3] * pi / 180
  rz <- matrix(c(cos(a[1]), sin(a[1]), 0, -sin(a[1]), cos(a[1]), 0, 0, 0, 1), 3)
  ry <- matrix(c(cos(a[2]), 0, -sin(a[2]), 0, 1, 0, sin(a[2]), 0, cos(a[2])), 3)
  rx <- matrix(c(1, 0, 0, 0, cos(a[3]), sin(a[3]), 0, -sin(a[3]), cos(a[3])), 3)
  r <- rz %*% ry %*% rx
  nxy <- n[1] * n[2]
  off <- cbind(rep.int(seq_len(n[1]) - 1, nxy / n[1] * n[3]) * dx[1],
               rep.int(rep(seq_len(n[2]) - 1, each = n[1]), n[3]) * dx[2],
               rep(seq_len(n[3]) - 1, each = nxy) * dx[3])
  xyz <- off %*% t(r) + rep(x0, each = nrow(off))
  xyz[, seq_len(d$ndim), drop = FALSE]
}

# Positions of the header samples of a gravity-lines File (none for other
# Files, or when the line counts are unknown).
.header_samples <- function(d) {
  if (!identical(d$type, "gravity lines") || sum(d$line_samples) != d$nech) return(integer(0))
  as.integer(cumsum(c(1L, d$line_samples[-length(d$line_samples)])))
}

# The data frame of a File described by `d` (see .describe_file_variables),
# read right after that description: the bridge takes the File as it was
# described, and hands each variable back with NA where undefined (a macro
# variable as a list of its items). Columns are those vectors themselves,
# cut only where a line File's headers go, so that a variable costs its
# values once.
.read_frame <- function(d, study, directory, file, wanted, selection) {
  vars <- d$variables
  coords <- if (d$grid) character(0) else d$coordinate_names
  to_read <- unique(c(coords, wanted, selection))
  items <- lapply(to_read, function(n) if (is.null(d$macro_items[[n]])) integer(0) else d$macro_items[[n]])
  values <- if (length(to_read) && d$nech > 0L) {
    .orvane_call(sprintf("read File '%s'", file), "IReadFile", study, directory, file, to_read, items)$values
  } else {
    lapply(items, function(i) if (length(i)) rep(list(numeric(0)), length(i)) else numeric(0))
  }
  names(values) <- to_read
  headers <- .header_samples(d)
  # Each vector is taken out of `values` as it becomes a column, so that
  # giving it its units does not copy it (a selection under which the rows
  # are read gives them again to the rows kept).
  set_units <- is.null(selection)
  take <- function(nm, k = 0L, unit = "", logical = FALSE) {
    v <- if (k > 0L) values[[nm]][[k]] else values[[nm]]
    if (k > 0L) values[[nm]][k] <<- list(NULL) else values[nm] <<- list(NULL)
    if (length(headers)) v <- v[-headers]
    if (logical) v <- v != 0
    if (nzchar(unit) && set_units) attr(v, "units") <- unit
    v
  }

  cols <- list()
  if (d$grid) {
    xyz <- .grid_nodes(d)
    for (k in seq_len(d$ndim)) cols[[d$coordinate_names[k]]] <- xyz[, k]
  } else {
    for (nm in coords) cols[[nm]] <- take(nm)
  }
  if (length(d$line_samples) && sum(d$line_samples) == d$nech) {
    cols[["line"]] <- rep(seq_along(d$line_samples), d$line_samples)
    if (length(headers)) cols[["line"]] <- cols[["line"]][-headers]
  }
  sel <- if (!is.null(selection)) {
    s <- values[[selection]]
    if (length(headers)) s[-headers] else s
  }
  units <- list()
  for (nm in wanted) {
    row <- match(nm, vars$name)
    unit <- vars$unit[row]
    if (vars$kind[row] == "macro") {
      stem <- sub("\\[xxxxx\\]$", "", nm)
      names_of_var <- sprintf("%s.%d", stem, seq_along(values[[nm]]))
      for (k in seq_along(names_of_var)) cols[[names_of_var[k]]] <- take(nm, k, unit)
    } else {
      names_of_var <- nm
      cols[[nm]] <- take(nm, 0L, unit, logical = vars$kind[row] == "selection")
    }
    if (nzchar(unit)) units[names_of_var] <- unit
  }
  df <- list2DF(cols, nrow = d$nech - length(headers))
  if (!is.null(selection)) {
    df <- df[!is.na(sel) & sel != 0, , drop = FALSE]
    for (nm in names(units)) attr(df[[nm]], "units") <- units[[nm]]
  }
  d$file <- file
  attr(df, "description") <- d
  df
}

# A data frame that ReadFile() made stands for its File, read already: its
# description says what it holds, and nothing is asked of the server.
.frame_given <- function(df, fun, study, directory, variables, selection, check) {
  d <- attr(df, "description")
  if (!inherits(d, "DbDescription") || !all(d$coordinate_names %in% names(df))) {
    .refuse(fun, paste("'file' is a data frame without the description and coordinates ReadFile() gives:",
                       "pass the File's name, or what ReadFile() returned"))
  }
  if (!is.null(study) || !is.null(directory) || !is.null(selection)) {
    .refuse(fun, "'study', 'directory' and 'selection' go with a File's name, not with a data frame")
  }
  if (d$grid && nrow(df) != prod(d$nx)) {
    .refuse(fun, sprintf("the data frame holds %d rows where the grid has %d nodes (read under a selection?)",
                         nrow(df), as.integer(prod(d$nx))))
  }
  columns_of <- function(n) {
    stem <- sub("\\[xxxxx\\]$", "", n)
    if (stem == n) return(intersect(n, names(df)))
    items <- names(df)[startsWith(names(df), paste0(stem, "."))]
    items[grepl("^[0-9]+$", substring(items, nchar(stem) + 2L))]
  }
  wanted <- Filter(function(n) length(columns_of(n)) > 0L, d$variables$name)
  if (!is.null(variables)) {
    .check_names(variables, "variables")
    wanted <- intersect(.match_variables(variables, d, .file_name_of(df), "variables"), wanted)
    keep <- c(intersect(c(d$coordinate_names, "line"), names(df)), unlist(lapply(wanted, columns_of)))
    picked <- df[keep]
    attr(picked, "description") <- d
    df <- picked
  }
  if (!is.null(check)) check(d, wanted)
  df
}

# The name of a File, or of the File a data frame was read from, for messages.
.file_name_of <- function(file) {
  if (!is.data.frame(file)) return(file)
  name <- attr(file, "description")$file
  if (is.character(name) && length(name) == 1L) name else "?"
}

# Checks the arguments of a function that reads a File, describes it,
# lets `check(d, wanted)` refuse it before anything is read, then reads.
.file_frame <- function(file, study, directory, variables, selection, check = NULL, fun = "ReadFile") {
  if (is.data.frame(file)) return(.frame_given(file, fun, study, directory, variables, selection, check))
  .check_name(file, "file")
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  .check_names(variables, "variables")
  if (!is.null(selection)) .check_name(selection, "selection")
  d <- .describe_file_variables(st, dir, file)
  vars <- d$variables
  wanted <- if (is.null(variables)) vars$name[vars$kind %in% .readable_kinds & vars$items > 0L]
            else .match_variables(variables, d, file, "variables")
  if (!is.null(selection)) {
    selection <- .match_variables(selection, d, file, "selection")
    if (!identical(vars$kind[match(selection, vars$name)], "selection")) {
      .fail("selection", sprintf("names '%s', which is not a selection of File '%s'", selection, file))
    }
  }
  if (!is.null(check)) check(d, wanted)
  .read_frame(d, st, dir, file, wanted, selection)
}

#' Read a Whole File as a Data Frame
#'
#' Reads a File named by its path into a data frame with one row per sample:
#' its coordinates first, then its numeric variables, its macro variables and
#' its selections. The path becomes the target.
#'
#' * **Coordinates**: a point or line File gives its coordinate variables
#'   (usually `X`, `Y` and, in 3-D, `Z`). A grid File gives the coordinates of
#'   its nodes, computed from its origin, mesh and rotation: node
#'   \eqn{(i_x, i_y, i_z)} lies at \eqn{origin + R (i_x dx, i_y dy, i_z dz)}
#'   with \eqn{R = R_z R_y R_x} turning by the File's three angles (degrees,
#'   counter-clockwise; a 2-D grid turns about Z only). Rows run in the order
#'   of a `Db`: X fastest, then Y, then Z.
#' * **Line Files**: a `line` column numbers the lines. A gravity-lines File
#'   starts each line with a header sample, which is left out: the rows are
#'   its data samples only (9 rows for 3 lines of 12 samples). Every sample of
#'   a core-lines File is a row.
#' * **Values**: undefined values are `NA`; a macro variable gives one column
#'   per item, `Simu.1`, `Simu.2`, \dots; a selection gives a logical column.
#'   A variable's unit, when it has one, is the `"units"` attribute of its
#'   column(s). Character variables are not read (the server moves numbers
#'   only).
#' * **Selection**: under `selection`, the rows keep their numbers as row
#'   names (for a gravity-lines File, numbers of data samples).
#'
#' The File's description, as [DescribeFile()] gives it, travels as the
#' attribute `"description"`, with a table of its variables (name, kind,
#' unit, number of items), the names of its coordinate columns and the File's
#' name (`file`). [AsSf()], [AsSpatRaster()] and [AsStars()] take such a data
#' frame in place of a File's name.
#'
#' @param file name of the File.
#' @param study,directory names of the items; `NULL` for the target's item of
#'   that level.
#' @param variables names of the variables to read (a macro variable by its
#'   name or by its stem, `"Simu"` for `"Simu[xxxxx]"`); `NULL` for every
#'   numeric variable, macro variable and selection. Coordinates always come.
#' @param selection name of a selection of the File: only the rows it selects
#'   are kept. `NULL` keeps every row.
#' @return A data frame. An unknown variable is an error of class
#'   `orvane_not_found`; a name that holds no numbers or is not a selection,
#'   an `orvane_usage_error`.
#' @seealso [WriteFile()]; [AsSf()], [AsSpatRaster()] and [AsStars()] for
#'   spatial objects.
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' samples <- ReadFile("Samples", "Demo", "Mining")
#' samples
#' attr(samples$Au, "units")
#' ReadFile("Samples", selection = "Inside")
#' head(ReadFile("Grid3D", variables = "Simu"))
#' ReadFile("Lines")
#' attr(ReadFile("Cores"), "description")$variables
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
ReadFile <- function(file, study = NULL, directory = NULL, variables = NULL, selection = NULL) {
  .check_name(file, "file")
  .file_frame(file, study, directory, variables, selection)
}

# ---- writing ---------------------------------------------------------------

# The unit of a column: its "units" attribute.
.column_unit <- function(x, arg) {
  u <- attr(x, "units")
  if (is.null(u)) return("")
  if (!is.character(u) || length(u) != 1L || is.na(u)) .fail(arg, "has a 'units' attribute that is not one text")
  if (nchar(u, type = "bytes") > 10L) .fail(arg, sprintf("has the unit '%s', longer than 10 characters", u))
  u
}

# Columns the protocol cannot carry are refused before anything is sent.
.check_columns <- function(data) {
  for (nm in names(data)) {
    x <- data[[nm]]
    arg <- sprintf("data$%s", nm)
    if (is.factor(x) || is.character(x)) {
      .fail(arg, sprintf("is %s: only numeric and logical columns can be written (the server moves numbers only)",
                         if (is.factor(x)) "a factor" else "a character column"))
    }
    if (!(is.numeric(x) || is.logical(x)) || length(dim(x)) > 2L || is.logical(x) && is.matrix(x)) {
      .fail(arg, sprintf("must be numeric or logical, not %s", .type_of(x)))
    }
    if (is.logical(x) && anyNA(x)) .fail(arg, "is a selection and must not hold NA (a sample is either selected or not)")
    if (is.numeric(x) && any(is.infinite(x))) .fail(arg, "must not hold infinite values")
    if (is.numeric(x) && any(!is.na(x) & x > .undef_limit)) {
      .fail(arg, "must not hold values above 1e30 (the server reads them as undefined; use NA)")
    }
  }
  invisible(data)
}

# The variables to write from the columns of `data`: columns Stem.1 to
# Stem.n (n >= 2), or a matrix column, make the macro variable
# Stem[xxxxx]; logical columns make selections.
.frame_variables <- function(data, columns, macros) {
  out <- list()
  add <- function(name, cols) {
    x <- data[[cols[1L]]]
    mat <- is.matrix(x)
    values <- if (mat) as.double(x) else as.double(unlist(lapply(cols, function(cl) data[[cl]]), use.names = FALSE))
    items <- if (mat) ncol(x) else length(cols)
    macro <- items > 1L || mat
    out[[length(out) + 1L]] <<- list(name = if (macro) paste0(name, .macro_suffix) else name,
                                     column = cols[1L], unit = .column_unit(x, sprintf("data$%s", cols[1L])),
                                     bits = if (is.logical(x)) 1L else 32L, items = as.integer(items),
                                     values = values)
  }
  stem <- sub("\\.[0-9]+$", "", columns)
  rank <- suppressWarnings(as.integer(sub("^.*\\.", "", columns)))
  done <- character(0)
  for (i in seq_along(columns)) {
    col <- columns[i]
    if (col %in% done) next
    group <- columns[stem == stem[i] & !is.na(rank)]
    ranks <- rank[match(group, columns)]
    numeric_group <- all(vapply(group, function(g) is.numeric(data[[g]]) && !is.matrix(data[[g]]), TRUE))
    if (macros && col %in% group && length(group) >= 2L && setequal(ranks, seq_along(group)) && numeric_group) {
      add(stem[i], group[order(ranks)])
      done <- c(done, group)
    } else {
      add(col, col)
      done <- c(done, col)
    }
  }
  for (v in out) .check_new_name(v$name, sprintf("data$%s", v$column), null_ok = FALSE)
  out
}

# An sf object of points as a data frame with its coordinates in front.
.sf_points <- function(data, coordinates) {
  .need_package("sf", "WriteFile")
  types <- unique(as.character(sf::st_geometry_type(data)))
  if (!all(types == "POINT")) .fail("data", sprintf("must hold POINT geometries only, not %s", paste(types, collapse = ", ")))
  xyz <- sf::st_coordinates(data)
  if (nrow(xyz) != nrow(data)) .fail("data", "holds empty points")
  xyz <- xyz[, intersect(c("X", "Y", "Z"), colnames(xyz)), drop = FALSE]
  attrs <- sf::st_drop_geometry(data)
  names_xyz <- coordinates[seq_len(ncol(xyz))]
  if (any(names_xyz %in% names(attrs))) {
    .fail("data", sprintf("already has a column named like a coordinate (%s)", paste(names_xyz, collapse = ", ")))
  }
  cols <- lapply(seq_len(ncol(xyz)), function(k) unname(xyz[, k]))
  names(cols) <- names_xyz
  cols <- c(cols, as.list(attrs))
  list2DF(cols, nrow = nrow(data))
}

#' Write a Data Frame into a File
#'
#' Writes the columns of a data frame (or of an `sf` object of points) as
#' variables of a File named by its path: into the File when it exists and
#' has one sample per row, else into a new point File made from the
#' coordinate columns. The path becomes the target.
#'
#' Every other column becomes a variable of the same name: a numeric column a
#' 32-bit numeric variable whose unit is the column's `"units"` attribute (at
#' most 10 characters), with `NA` stored as undefined; a logical column a
#' selection (it must not hold `NA`). Character and factor columns are
#' refused: the server moves numbers only.
#'
#' An existing File takes one row per sample, in the order [ReadFile()] gives
#' them: for a grid, X fastest, then Y, then Z; for a gravity-lines File,
#' either one row per sample or one per data sample (the header samples that
#' start each line left out, as `ReadFile()` gives them). Its `line` column
#' and coordinate columns are not written.
#'
#' Every check (column types, names, the number of rows, existing variables
#' without `overwrite`) is made before anything is written. A failure while
#' writing (a name the server refuses) leaves the variables written before
#' it.
#'
#' @param data a data frame, or an `sf` object of POINT geometries (whose
#'   coordinates become the columns named by `coordinates`).
#' @param file name of the File.
#' @param study,directory names of the items; `NULL` for the target's item of
#'   that level.
#' @param overwrite `TRUE` to replace variables the File already has: one of
#'   the same kind, unit and bit length is written over in place and keeps
#'   its position among the File's variables, anything else of that name (a
#'   macro variable among them) gives way to a new variable; with `FALSE`
#'   such a column is refused and nothing is written.
#' @param coordinates names of the coordinate columns, X, Y and optionally Z.
#'   They make a new File's samples; they are not written into an existing
#'   File.
#' @param macros `TRUE` to write columns `Stem.1`, \dots, `Stem.n`
#'   (\eqn{n \ge 2}, all of them), or a matrix column, as the items of the
#'   macro variable `Stem[xxxxx]`; `FALSE` writes each column as a variable of
#'   its own.
#' @return `TRUE`, invisibly. A refused argument is an error of class
#'   `orvane_usage_error`.
#' @seealso [ReadFile()], [CopyDbToOrvane()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' # A new point File, with a unit, a selection and a macro variable of two items.
#' pts <- data.frame(X = c(10, 20, 30), Y = c(5, 15, 25), Au = c(1.2, NA, 0.7),
#'                   Rich = c(TRUE, FALSE, FALSE), Simu.1 = 1:3, Simu.2 = 4:6)
#' attr(pts$Au, "units") <- "g/t"
#' WriteFile(pts, "Assays", "Demo", "Mining")
#' ListVariables()
#' ReadFile("Assays")
#' # Results written back beside the File's own variables.
#' grid <- ReadFile("Grid2D")
#' grid$Thick <- 60 - grid$Depth
#' WriteFile(grid["Thick"], "Grid2D")
#' ListVariables()
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
WriteFile <- function(data, file, study = NULL, directory = NULL, overwrite = FALSE,
                      coordinates = c("X", "Y", "Z"), macros = TRUE) {
  fi <- .check_new_name(file, "file", null_ok = FALSE)
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  .check_flag(overwrite, "overwrite")
  .check_flag(macros, "macros")
  if (!is.character(coordinates) || !length(coordinates) %in% 2:3 || anyNA(coordinates) ||
      anyDuplicated(coordinates)) {
    .fail("coordinates", "must name 2 or 3 different columns (X, Y and optionally Z)")
  }
  if (inherits(data, "sf")) data <- .sf_points(data, coordinates)
  if (!is.data.frame(data)) .fail("data", sprintf("must be a data frame or an sf object of points, not %s", .type_of(data)))
  if (nrow(data) == 0L) .fail("data", "must hold at least one row")
  if (anyDuplicated(names(data)) || any(!nzchar(names(data)))) .fail("data", "must have unique, non-empty column names")
  .check_columns(data)
  coords <- intersect(coordinates, names(data))
  op <- sprintf("write File '%s'", file)

  files <- .orvane_call(sprintf("list the Files of %s", .describe(directory, "Directory")),
                        "IGetFileList", st, dir, "")$FileList
  if (fi %in% files) {
    d <- .describe_file_variables(st, dir, fi)
    counts <- c(d$nech, if (length(.header_samples(d))) d$nech - d$nlines)
    if (!nrow(data) %in% counts) {
      .fail("data", sprintf("has %d rows where File '%s' has %d samples%s", nrow(data), file, d$nech,
                            if (length(counts) > 1L) sprintf(" (%d data samples)", counts[2L]) else ""))
    }
    # The samples of an existing File stay where they are.
    skip <- c(coords, d$coordinate_names, if (length(d$line_samples)) "line")
    vars <- .frame_variables(data, setdiff(names(data), skip), macros)
    clash <- d$variables[d$variables$name %in% vapply(vars, `[[`, "", "name"), , drop = FALSE]
    if (nrow(clash) && !overwrite) {
      .fail("overwrite", sprintf("is FALSE and File '%s' already has %s: use overwrite = TRUE to replace them",
                                 file, paste0("'", clash$name, "'", collapse = ", ")))
    }
  } else {
    if (length(coords) < 2L || !all(coordinates[1:2] %in% coords)) {
      .fail("data", sprintf("needs the coordinate columns %s to create File '%s'",
                            paste(coordinates[1:2], collapse = " and "), file))
    }
    vars <- .frame_variables(data, setdiff(names(data), coords), macros)
    CreateFileForDb(DbDescription(coordinates = as.matrix(data[coords])), file, study, directory)
  }
  if (length(vars)) {
    .orvane_call(op, "IWriteFile", st, dir, fi, vapply(vars, `[[`, "", "name"), vapply(vars, `[[`, "", "unit"),
                 vapply(vars, `[[`, 0L, "bits"), vapply(vars, `[[`, 0L, "items"), lapply(vars, `[[`, "values"),
                 as.integer(overwrite))
  }
  invisible(TRUE)
}

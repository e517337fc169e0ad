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
  res <- .orvane_call(sprintf("describe File '%s'", file), "IDescribeFile",
                      study, directory, file, 1L)
  d <- .file_description(res)
  v <- res$variables
  kind <- .variable_kind(as.integer(v$type), as.integer(v$bits))
  d$variables <- data.frame(name = as.character(v$name), kind = kind, unit = as.character(v$unit),
                            items = ifelse(kind == "macro", lengths(v$items), 1L),
                            stringsAsFactors = FALSE)
  d$macro_items <- stats::setNames(lapply(v$items, as.integer),
                                   as.character(v$name))[kind == "macro"]
  axes <- c("x", "y", "z")[seq_len(d$ndim)]
  d$coordinate_names <- if (d$grid) {
    # A grid's coordinates follow from its geometry; the server may name them.
    nm <- as.character(res$coordinates)[seq_len(d$ndim)]
    ifelse(nzchar(nm), nm, c("X", "Y", "Z")[seq_len(d$ndim)])
  } else {
    d$variables$name[match(axes, d$variables$kind)]
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
    reason <- sprintf("File '%s' has no variable %s (named in '%s')", .shown(file),
                      .listed(requested[is.na(pos)]), arg)
    .orvane_stop("not_found", sprintf("read File '%s'", .shown(file)), reason, message = reason)
  }
  bad <- !vars$kind[pos] %in% c(.readable_kinds, "x", "y", "z")
  if (any(bad)) .fail(arg, sprintf("names %s, which hold no numbers", .listed(requested[bad])))
  unique(vars$name[pos][vars$kind[pos] %in% .readable_kinds])
}

# A vector of variable names, or NULL; returned in UTF-8.
.check_names <- function(x, arg) {
  if (is.null(x)) NULL else .check_name_vector(x, arg, "variable names")
}

# Node coordinates of a grid in Db order (X fastest): origin plus the
# rotated offsets, R = Rz(angle_z) Ry(angle_y) Rx(angle_x), angles in degrees
# and in the order of the File's description (Z first).
.grid_nodes <- function(d) {
  n <- .three(d$nx, 1L)
  x0 <- .three(d$x0)
  dx <- .three(d$dx)
  r <- .rotation(d$angles)
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
  items <- lapply(to_read, function(n) if (is.null(d$macro_items[[n]])) integer(0)
                                       else d$macro_items[[n]])
  values <- if (length(to_read) && d$nech > 0L) {
    .orvane_call(sprintf("read File '%s'", file), "IReadFile",
                 study, directory, file, to_read, items)$values
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
    .refuse(fun, paste(
      "'file' is a data frame without the description and coordinates ReadFile() gives:",
      "pass the File's name, or what ReadFile() returned"))
  }
  if (!is.null(study) || !is.null(directory) || !is.null(selection)) {
    .refuse(fun,
            "'study', 'directory' and 'selection' go with a File's name, not with a data frame")
  }
  if (d$grid && nrow(df) != prod(d$nx)) {
    .refuse(fun, sprintf(
      "'file' is a data frame of %d rows where its grid has %d nodes (read under a selection?)",
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
    variables <- .check_names(variables, "variables")
    wanted <- intersect(.match_variables(variables, d, .file_name_of(df), "variables"), wanted)
    keep <- c(intersect(c(d$coordinate_names, "line"), names(df)),
              unlist(lapply(wanted, columns_of)))
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
.file_frame <- function(file, study, directory, variables, selection, check = NULL,
                        fun = "ReadFile") {
  if (is.data.frame(file)) {
    return(.frame_given(file, fun, study, directory, variables, selection, check))
  }
  file <- .check_name(file, "file")
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  variables <- .check_names(variables, "variables")
  if (!is.null(selection)) selection <- .check_name(selection, "selection")
  d <- .describe_file_variables(st, dir, file)
  vars <- d$variables
  wanted <- if (is.null(variables)) vars$name[vars$kind %in% .readable_kinds & vars$items > 0L]
            else .match_variables(variables, d, file, "variables")
  if (!is.null(selection)) {
    kind <- vars$kind[match(selection, vars$name)]
    if (is.na(kind)) {
      reason <- sprintf("File '%s' has no selection '%s' (named in 'selection')", .shown(file),
                        .shown(selection))
      .orvane_stop("not_found", sprintf("read File '%s'", .shown(file)), reason, message = reason)
    }
    if (kind != "selection") {
      .fail("selection", sprintf("names '%s', which is %s of File '%s', not a selection",
                                 .shown(selection), .kind_phrase(kind), .shown(file)))
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
  .file_frame(.check_name(file, "file"), study, directory, variables, selection)
}

# A kind of variable (.variable_kind) in words.
.kind_phrase <- function(kind) {
  switch(kind, float = "a numeric variable", character = "a character variable",
         x = , y = , z = "a coordinate",
         macro = "a macro variable", selection = "a selection", "a variable of another kind")
}

# ---- writing ---------------------------------------------------------------

# The unit of a column: its "units" attribute.
.column_unit <- function(x, arg) {
  u <- attr(x, "units")
  if (is.null(u)) return("")
  if (!is.character(u) || length(u) != 1L || is.na(u)) {
    .fail(arg, "has a 'units' attribute that is not one text")
  }
  utf8 <- .as_utf8(u)
  if (is.na(utf8)) .fail(arg, sprintf("has a unit that is not valid UTF-8 text: '%s'", .shown(u)))
  if (nchar(utf8, type = "bytes") > 10L) {
    .fail(arg, sprintf("has a unit of %d bytes, at most 10: '%s'",
                       nchar(utf8, type = "bytes"), .shown(utf8)))
  }
  if (grepl("[[:cntrl:]]", utf8)) .fail(arg, "has a unit with control characters")
  utf8
}

# Columns the protocol cannot carry are refused before anything is sent.
.check_columns <- function(data) {
  for (nm in names(data)) {
    x <- data[[nm]]
    arg <- sprintf("data$%s", nm)
    if (is.factor(x) || is.character(x)) {
      .fail(arg, sprintf(
        "is %s: only numeric and logical columns can be written (the server moves numbers only)",
        if (is.factor(x)) "a factor" else "a character column"))
    }
    if (!(is.numeric(x) || is.logical(x)) || length(dim(x)) > 2L || is.logical(x) && is.matrix(x)) {
      .fail(arg, sprintf("must be numeric or logical, not %s", .type_of(x)))
    }
    if (is.logical(x) && anyNA(x)) {
      .fail(arg, "is a selection and must not hold NA (a sample is either selected or not)")
    }
    # One native pass, as for CopyDbToOrvane(): a large column is not
    # copied into logical vectors as long as itself.
    problem <- .Call("SValuesProblem", x, PACKAGE = "orvanelink")
    if (problem == 1L) .fail(arg, "must not hold infinite values")
    if (problem == 2L) {
      .fail(arg, "must not hold values above 1e30 (the server reads them as undefined; use NA)")
    }
  }
  invisible(data)
}

# The column names of `data`, refused when they are no names a variable can
# have, before anything else looks at them.
.check_column_names <- function(data) {
  nm <- names(data)
  if (is.null(nm) || anyNA(nm) || any(!nzchar(nm))) {
    .fail("data", "must have non-empty column names")
  }
  utf8 <- .as_utf8(nm)
  if (anyNA(utf8)) {
    .fail("data", sprintf("has a column name that is not valid UTF-8 text: '%s'",
                          .shown(nm[is.na(utf8)][1])))
  }
  names(data) <- nm <- utf8
  if (anyDuplicated(nm)) {
    .fail("data", sprintf("has two columns named '%s'", .shown(nm[anyDuplicated(nm)])))
  }
  for (n in nm) .check_item_name(n, sprintf("data$%s", n))
  data
}

# The variables to write from the columns of `data`: columns Stem.1 to
# Stem.n (n >= 2), or a matrix column, make the macro variable
# Stem[xxxxx]; logical columns make selections.
.frame_variables <- function(data, columns, macros) {
  out <- list()
  add <- function(name, cols) {
    x <- data[[cols[1L]]]
    mat <- is.matrix(x)
    # A column of doubles goes as it is: only the bridge reads it.
    values <- if (mat) as.double(x)
              else if (length(cols) == 1L && is.double(x)) x
              else as.double(unlist(lapply(cols, function(cl) data[[cl]]), use.names = FALSE))
    items <- if (mat) ncol(x) else length(cols)
    macro <- items > 1L || mat
    out[[length(out) + 1L]] <<- list(name = if (macro) paste0(name, .macro_suffix) else name,
                                     column = cols[1L],
                                     unit = .column_unit(x, sprintf("data$%s", cols[1L])),
                                     bits = if (is.logical(x)) 1L else 32L,
                                     items = as.integer(items), values = values)
  }
  stem <- sub("\\.[0-9]+$", "", columns)
  rank <- suppressWarnings(as.integer(sub("^.*\\.", "", columns)))
  done <- character(0)
  for (i in seq_along(columns)) {
    col <- columns[i]
    if (col %in% done) next
    group <- columns[stem == stem[i] & !is.na(rank)]
    ranks <- rank[match(group, columns)]
    numeric_group <- all(vapply(group,
                                function(g) is.numeric(data[[g]]) && !is.matrix(data[[g]]), TRUE))
    if (macros && col %in% group && length(group) >= 2L && setequal(ranks, seq_along(group)) &&
        numeric_group) {
      add(stem[i], group[order(ranks)])
      done <- c(done, group)
    } else {
      add(col, col)
      done <- c(done, col)
    }
  }
  for (v in out) .check_new_name(v$name, sprintf("data$%s", v$column))
  out
}

# An sf object of points as a data frame with its coordinates in front.
.sf_points <- function(data, coordinates) {
  .need_package("sf", "WriteFile")
  types <- unique(as.character(sf::st_geometry_type(data)))
  if (!all(types == "POINT")) {
    .fail("data", sprintf("must hold POINT geometries only, not %s", paste(types, collapse = ", ")))
  }
  xyz <- sf::st_coordinates(data)
  if (nrow(xyz) != nrow(data)) .fail("data", "holds empty points")
  xyz <- xyz[, intersect(c("X", "Y", "Z"), colnames(xyz)), drop = FALSE]
  attrs <- .check_column_names(sf::st_drop_geometry(data))
  names_xyz <- coordinates[seq_len(ncol(xyz))]
  if (any(tolower(names_xyz) %in% tolower(names(attrs)))) {
    .fail("data", sprintf("already has a column named like a coordinate (%s)",
                          paste(names_xyz, collapse = ", ")))
  }
  cols <- lapply(seq_len(ncol(xyz)), function(k) unname(xyz[, k]))
  names(cols) <- names_xyz
  cols <- c(cols, as.list(attrs))
  list2DF(cols, nrow = nrow(data))
}

# ---- rows placed by their coordinates ----------------------------------------

# The columns of `data` that hold the coordinates, one per axis (NA for an
# axis without one): named by `coordinates` or by `own` (an existing File's
# coordinate variables), without regard to case.
.coordinate_columns <- function(columns, coordinates, own = NULL, ndim = length(coordinates)) {
  low <- tolower(columns)
  out <- rep(NA_character_, ndim)
  for (a in seq_len(ndim)) {
    keys <- tolower(c(coordinates[a], own[a]))
    hit <- columns[low %in% keys[!is.na(keys)]]
    if (length(hit) > 1L) {
      .fail("data", sprintf("has %d columns for coordinate %s (%s): keep one", length(hit),
                            c("X", "Y", "Z")[a], .listed(hit)))
    }
    if (length(hit)) out[a] <- hit
  }
  out
}

# Numbers for messages, each as short as it prints.
.num <- function(x) vapply(x, function(v) format(v, digits = 10), "")

# Where row `i` of the coordinate columns `xyz` sits, for messages.
.row_place <- function(xyz, i) {
  paste(sprintf("%s = %s", names(xyz), vapply(xyz, function(v) .num(v[i]), "")), collapse = ", ")
}

# The answer of the native placement as the order of the rows (NULL when
# they already come in the File's order), or a refusal naming the first row
# that matches no sample (`what`: "node" or "sample") or lands on one taken.
.placed_order <- function(res, xyz, what, file, complete = TRUE) {
  if (res$row > 0L) {
    i <- res$row
    if (res$other == 0L) {
      .fail("data", sprintf("has row %d (%s), which matches no %s of File '%s'", i,
                            .row_place(xyz, i), what, file))
    }
    .fail("data", sprintf("has rows %d and %d on one %s of File '%s' (%s)", res$other, i, what,
                          file, .row_place(xyz, i)))
  }
  if (complete && isTRUE(res$identity)) NULL else res$order
}

# The order, on the samples of File `d`, of rows whose coordinates are the
# columns `xyz`: a grid inverts its geometry within 1e-6 of the mesh; points
# and lines match their samples within 1e-9 of the File's coordinate range.
.place_rows <- function(xyz, d, file, st, dir) {
  xyz <- lapply(xyz, as.double)
  if (d$grid) {
    res <- .Call("SPlaceOnGrid", xyz, .three(d$x0), as.double(.index_map(d)),
                 as.integer(.three(d$nx, 1)), PACKAGE = "orvanelink")
    return(.placed_order(res, xyz, "node", file))
  }
  own <- .orvane_call(sprintf("read the coordinates of File '%s'", file), "IReadFile",
                      st, dir, file, d$coordinate_names,
                      rep(list(integer(0)), length(d$coordinate_names)))$values
  if (length(xyz[[1]]) != d$nech) own <- lapply(own, function(v) v[-.header_samples(d)])
  tol <- vapply(own, function(v) {
    r <- suppressWarnings(range(v, na.rm = TRUE))
    span <- diff(r)
    1e-9 * if (is.finite(span) && span > 0) span else max(1, abs(r[is.finite(r)]))
  }, 0)
  res <- .Call("SPlaceOnSamples", xyz, own, tol, PACKAGE = "orvanelink")
  .placed_order(res, xyz, "sample", file)
}

# Columns reordered by rows, their units kept.
.reorder_rows <- function(data, order) {
  if (is.null(order)) return(data)
  for (nm in names(data)) {
    x <- data[[nm]]
    u <- attr(x, "units")
    x <- if (is.matrix(x)) x[order, , drop = FALSE] else x[order]
    attr(x, "units") <- u
    data[[nm]] <- x
  }
  data
}

# The grid description of coordinate columns that make one complete,
# regular, axis-aligned lattice, or a refusal that says why not. Values a
# rounding apart (1e-9 of the span) are one level; the mesh is the smallest
# step, and every level must lie within 1e-6 of a mesh of a node.
.lattice <- function(xyz) {
  n <- x0 <- dx <- numeric(0)
  for (a in seq_along(xyz)) {
    v <- xyz[[a]]
    name <- names(xyz)[a]
    if (anyNA(v)) {
      .fail("data", sprintf("has row %d without %s: a grid needs every coordinate",
                            which(is.na(v))[1], name))
    }
    s <- sort(unique(v))
    span <- s[length(s)] - s[1]
    lev <- s[c(TRUE, diff(s) > 1e-9 * span)]
    mesh <- if (length(lev) > 1L) min(diff(lev)) else 1
    k <- round((lev - lev[1]) / mesh)
    count <- k[length(k)] + 1
    if (count > 1) mesh <- span / (count - 1)
    off <- abs(lev - lev[1] - k * mesh)
    if (any(off > 1e-6 * mesh)) {
      shown <- paste(c(.num(lev[seq_len(min(6L, length(lev)))]), if (length(lev) > 6L) "..."),
                     collapse = ", ")
      .fail("data", sprintf(
        paste("has irregular spacing along %s (%s): it makes no regular grid;",
              "use grid = FALSE for points"),
        name, shown))
    }
    n <- c(n, count)
    x0 <- c(x0, lev[1])
    dx <- c(dx, mesh)
  }
  if (prod(n) > .Machine$integer.max) {
    .fail("data", sprintf("spans a lattice of %s nodes, more than a File holds",
                          paste(n, collapse = " x ")))
  }
  DbDescription(nx = n, x0 = x0, dx = dx)
}

# The order of rows on the lattice `g` they make (.lattice): complete, each
# node once.
.place_on_lattice <- function(xyz, g, file) {
  res <- .Call("SPlaceOnGrid", lapply(xyz, as.double), .three(g$x0), as.double(.index_map(g)),
               as.integer(.three(g$nx, 1)), PACKAGE = "orvanelink")
  order <- .placed_order(res, xyz, "node", file, complete = FALSE)
  missing <- sum(order == 0L)
  if (missing > 0L) {
    first <- which(order == 0L)[1] - 1
    idx <- (first %/% c(1, cumprod(g$nx))[seq_len(g$ndim)]) %% g$nx
    at <- paste(sprintf("%s = %s", names(xyz), .num(g$x0 + idx * g$dx)), collapse = ", ")
    .fail("data", sprintf(
      paste("misses %d of the %d nodes of the grid its coordinates span (%s, the first at %s):",
            "use grid = FALSE for points"),
      missing, length(order), paste(g$nx, collapse = " x "), at))
  }
  if (isTRUE(res$identity)) NULL else order
}

# The order of the nodes of grid `g` (a raster's) on grid File `d`: none
# when they are its nodes in its order (the usual case, checked at the
# corners), else placed node by node as rows are.
.place_grid_object <- function(g, d, file) {
  if (!d$grid) {
    .fail("data",
          sprintf("is a grid and File '%s' holds %s: write it into a grid File, or a new one",
                  file, d$type))
  }
  if (g$ndim != d$ndim || g$nech != d$nech) {
    .fail("data", sprintf("is a %d-D grid of %d nodes where File '%s' is a %d-D grid of %d nodes",
                          g$ndim, g$nech, file, d$ndim, d$nech))
  }
  # Node indices of the File for the object's node (i, j, k): c + A (i, j, k).
  m <- .index_map(d)
  a <- m %*% .rotation(g$angles) %*% diag(.three(g$dx, 1))
  c0 <- m %*% (.three(g$x0) - .three(d$x0))
  worst <- abs(c0) + abs(a - diag(3)) %*% .three(g$nx - 1)
  if (all(g$nx == d$nx) && all(worst <= 1e-6)) return(NULL)
  nodes <- as.data.frame(.grid_nodes(g))
  names(nodes) <- d$coordinate_names
  res <- .Call("SPlaceOnGrid", as.list(nodes), .three(d$x0), as.double(m),
               as.integer(.three(d$nx, 1)), PACKAGE = "orvanelink")
  if (res$row > 0L) {
    .fail("data",
          sprintf("has a node (%s) that is no node of File '%s': its grid is not the File's",
                  .row_place(nodes, res$row), file))
  }
  res$order
}

# ---- WriteFile ---------------------------------------------------------------

# The data given to WriteFile() as a data frame of the columns to write (and
# of coordinates), with the grid description of a raster or stars object
# (whose values come in Db order) or NULL.
.write_source <- function(data, coordinates) {
  if (.is_grid_object(data)) {
    g <- .grid_object(data)
    return(list(frame = list2DF(g$values, nrow = g$geometry$nech), geometry = g$geometry))
  }
  if (inherits(data, "sf")) data <- .sf_points(data, coordinates)
  if (!is.data.frame(data)) {
    .fail("data", sprintf(
      "must be a data frame, an sf object of points, a SpatRaster or a stars object, not %s",
      .type_of(data)))
  }
  list(frame = data, geometry = NULL)
}

#' Write a Data Frame or a Raster into a File
#'
#' Writes the columns of a data frame (or of an `sf` object of points), or the
#' layers of a `terra` `SpatRaster` or the attributes of a `stars` object, as
#' variables of a File named by its path: into the File when it exists, each
#' row at the sample its coordinates name, else into a new File, a point File
#' made from the coordinate columns or a grid File with the raster's nodes.
#' The path becomes the target.
#'
#' Every other column becomes a variable of the same name: a numeric column a
#' 32-bit numeric variable whose unit is the column's `"units"` attribute (at
#' most 10 characters), with `NA` stored as undefined; a logical column a
#' selection (it must not hold `NA`). Character and factor columns are
#' refused: the server moves numbers only. Names must be valid UTF-8 without
#' `/`, `..` or a leading dot; a column named like a macro variable
#' (`Simu[xxxxx]`) or one of its items (`Simu[00003]`) is refused with the
#' reason: write a macro variable from columns `Simu.1`, `Simu.2`, ...
#'
#' *Into an existing File.* When `data` holds the coordinate columns, each row
#' is written at the sample with the same coordinates, whatever the order of
#' the rows: on a grid, the node within 1e-6 of the mesh along each axis
#' (rotation included); on a point or line File, the sample within 1e-9 of the
#' File's coordinate range (rows at one place take its samples in their
#' order). A row that matches no sample, two rows on one sample, or a number
#' of rows that is not the File's is refused, naming the first offending row,
#' and nothing is written. Without coordinate columns the rows are taken in
#' the File's order, as [ReadFile()] gives them: for a grid, X fastest, then
#' Y, then Z; for a gravity-lines File, either one row per sample or one per
#' data sample (the header samples that start each line left out). A raster
#' or stars object must have the File's nodes (the same rule) and its values
#' go to them node by node: north-up rows come in the File's order. The
#' `line` column and the coordinate columns are not written.
#'
#' *Into a new File.* A raster or stars object makes a grid File with its
#' node geometry: the origin at the centre of the first node, its mesh, node
#' counts and angle. A data frame makes a point File from its coordinate
#' columns, or with `grid = TRUE` a grid File, refused with the reason when
#' its coordinates are no complete regular lattice (irregular spacing along an
#' axis, nodes missing, two rows on one node). A column named like the
#' coordinate variables the new File gets (X, Y, Z) is refused.
#'
#' Every check (column types and names, the coordinates, the number of rows,
#' existing variables without `overwrite`) is made before anything is
#' written. A write that fails or is interrupted on the server removes what it
#' created (the File, the new variables), so that the project looks as
#' before; after an interrupt, which closes the connection, it connects again
#' to the same server to do so (and stays connected). A variable written over
#' keeps its old values when its write fails if it is written in place (a
#' numeric variable of 32 bits with the unit of its column, or a selection);
#' one of another kind or unit is deleted before it is created anew, and its
#' old values are lost if the write then fails, as the error says. Variables
#' written over before the failing one keep their new values.
#'
#' @param data a data frame; an `sf` object of POINT geometries (whose
#'   coordinates become the columns named by `coordinates`); a `SpatRaster`
#'   (each layer a variable of a 2-D grid; layers named `V.z1`, ..., `V.zn`
#'   at regular depths, as [AsSpatRaster()] gives a 3-D grid, are the levels
#'   of the variable `V` of a 3-D grid); or a `stars` object (each attribute a
#'   variable; its x and y dimensions and an optional third dimension of
#'   regular levels make the grid, a rotated affine its angle about Z).
#' @param file name of the File.
#' @param study,directory names of the items; `NULL` for the target's item of
#'   that level.
#' @param overwrite `TRUE` to replace variables the File already has: one of
#'   the same kind, unit and bit length is written over in place and keeps
#'   its position among the File's variables, anything else of that name (a
#'   macro variable among them) gives way to a new variable; with `FALSE`
#'   such a column is refused and nothing is written.
#' @param coordinates names of the coordinate columns, X, Y and optionally Z,
#'   matched without regard to case. They make a new File's samples, and
#'   place the rows in an existing File (whose own coordinate names are
#'   recognised too); they are never written as variables.
#' @param macros `TRUE` to write columns `Stem.1`, \dots, `Stem.n`
#'   (\eqn{n \ge 2}, all of them), or a matrix column, as the items of the
#'   macro variable `Stem[xxxxx]`; `FALSE` writes each column as a variable of
#'   its own.
#' @param grid for a new File from a data frame: `TRUE` to make a grid File of
#'   the lattice the coordinate columns form (they must make one complete,
#'   regular, axis-aligned lattice, rows in any order), `FALSE` for a point
#'   File.
#' @return `TRUE`, invisibly. A refused argument is an error of class
#'   `orvane_usage_error`.
#' @seealso [ReadFile()], [AsSpatRaster()], [AsStars()], [CopyDbToOrvane()]
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
#' # Rows in any order go to the nodes their coordinates name.
#' WriteFile(grid[nrow(grid):1, c("X", "Y", "Thick")], "Grid2D", overwrite = TRUE)
#' if (requireNamespace("terra", quietly = TRUE)) {
#'   # A raster computed in R, written back as a new grid File in one call.
#'   depth <- AsSpatRaster("Grid2D", "Depth")
#'   WriteFile(terra::focal(depth, 3, mean, na.rm = TRUE), "Smooth")
#'   DescribeFile("Smooth")
#' }
#' # A regular data frame as a grid File.
#' WriteFile(expand.grid(X = seq(0, 90, 10), Y = seq(0, 40, 10), V = 1), "Lattice", grid = TRUE)
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
WriteFile <- function(data, file, study = NULL, directory = NULL, overwrite = FALSE,
                      coordinates = c("X", "Y", "Z"), macros = TRUE, grid = FALSE) {
  fi <- .check_item_name(file, "file")
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  .check_flag(overwrite, "overwrite")
  .check_flag(macros, "macros")
  .check_flag(grid, "grid")
  if (!is.character(coordinates) || !length(coordinates) %in% 2:3 || anyNA(.as_utf8(coordinates)) ||
      anyDuplicated(tolower(.as_utf8(coordinates))) || any(!nzchar(coordinates))) {
    .fail("coordinates", "must name 2 or 3 different columns (X, Y and optionally Z)")
  }
  coordinates <- .as_utf8(coordinates)
  src <- .write_source(data, coordinates)
  data <- src$frame
  if (nrow(data) == 0L) .fail("data", "must hold at least one row")
  data <- .check_column_names(data)
  .check_columns(data)
  files <- .orvane_call(sprintf("list the Files of %s", .describe(directory, "Directory")),
                        "IGetFileList", st, dir, "")$FileList
  plan <- if (fi %in% files) .plan_existing(data, src$geometry, fi, st, dir, coordinates,
                                            overwrite, macros, grid)
          else .plan_new(data, src$geometry, fi, coordinates, macros, grid)
  vars <- plan$vars
  .undoable({
    if (!is.null(plan$create)) CreateFileForDb(plan$create, fi, study, directory)
    if (length(vars)) {
      .orvane_call(sprintf("write File '%s'", file), "IWriteFile", st, dir, fi,
                   vapply(vars, `[[`, "", "name"), vapply(vars, `[[`, "", "unit"),
                   vapply(vars, `[[`, 0L, "bits"), vapply(vars, `[[`, 0L, "items"),
                   lapply(vars, `[[`, "values"), as.integer(overwrite))
    }
  })
  invisible(TRUE)
}

# What writing `data` into the existing File `fi` takes: its variables,
# rows in the File's order. Everything is checked here, before any change.
.plan_existing <- function(data, geometry, fi, st, dir, coordinates, overwrite, macros, grid) {
  d <- .describe_file_variables(st, dir, fi)
  if (grid && !d$grid) {
    .fail("grid", sprintf("is TRUE, but File '%s' exists and holds %s", fi, d$type))
  }
  if (!is.null(geometry)) {
    order <- .place_grid_object(geometry, d, fi)
    columns <- names(data)
  } else {
    axes <- .coordinate_columns(names(data), coordinates, d$coordinate_names, d$ndim)
    counts <- c(d$nech, if (length(.header_samples(d))) d$nech - d$nlines)
    if (!nrow(data) %in% counts) {
      .fail("data", sprintf("has %d rows where File '%s' has %d samples%s", nrow(data), fi, d$nech,
                            if (length(counts) > 1L) sprintf(" (%d data samples)", counts[2L])
                            else ""))
    }
    given <- !is.na(axes)
    order <- NULL
    if (any(given)) {
      if (!all(given)) {
        .fail("data", sprintf(
          paste("has the coordinate column%s %s but none for %s: give all %d coordinates to place",
                "the rows where they say, or none to take them in the File's order"),
          if (sum(given) > 1L) "s" else "", paste0("'", axes[given], "'", collapse = ", "),
          paste(c("X", "Y", "Z")[!given], collapse = " and "), d$ndim))
      }
      order <- .place_rows(data[axes], d, fi, st, dir)
    }
    # The samples of an existing File stay where they are; a coordinate it
    # does not have (Z of a 2-D File) is not written either.
    named <- tolower(names(data)) %in% tolower(c(coordinates, d$coordinate_names))
    columns <- setdiff(names(data)[!named], if (length(d$line_samples)) "line")
  }
  vars <- .frame_variables(.reorder_rows(data[columns], order), columns, macros)
  clash <- d$variables[d$variables$name %in% vapply(vars, `[[`, "", "name"), , drop = FALSE]
  if (nrow(clash) && !overwrite) {
    .fail("overwrite",
          sprintf("is FALSE and File '%s' already has %s: use overwrite = TRUE to replace them",
                  fi, .listed(clash$name)))
  }
  list(vars = vars, create = NULL)
}

# What creating the File `fi` for `data` takes: the description of the new
# File (a grid for a raster, or for coordinates that make one with `grid`),
# and its variables in the File's order.
.plan_new <- function(data, geometry, fi, coordinates, macros, grid) {
  order <- NULL
  if (!is.null(geometry)) {
    desc <- geometry
    columns <- names(data)
  } else {
    axes <- .coordinate_columns(names(data), coordinates)
    if (anyNA(axes[1:2])) {
      .fail("data",
            sprintf("needs the coordinate columns %s (named by 'coordinates') to create File '%s'",
                    .listed(coordinates[1:2]), fi))
    }
    axes <- axes[!is.na(axes)]
    xyz <- data[axes]
    if (grid) {
      desc <- .lattice(xyz)
      order <- .place_on_lattice(xyz, desc, fi)
    } else {
      desc <- DbDescription(coordinates = as.matrix(xyz))
    }
    columns <- setdiff(names(data), axes)
  }
  # The server names the new File's coordinates X, Y and Z: a column of such
  # a name would be refused there, after the File was made.
  own <- c("X", "Y", "Z")[seq_len(desc$ndim)]
  clash <- columns[tolower(columns) %in% tolower(own)]
  if (length(clash)) {
    .fail(sprintf("data$%s", clash[1]),
          sprintf(paste("would be a variable beside the coordinate '%s' of the new File:",
                        "rename it, or name it in 'coordinates'"),
                  own[match(tolower(clash[1]), tolower(own))]))
  }
  list(vars = .frame_variables(.reorder_rows(data[columns], order), columns, macros), create = desc)
}

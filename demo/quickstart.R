# orvanelink quick start: serve a copy of the sample project with the
# bundled reference server, browse it, read a File as a data frame, read and
# write variables, and check that a Db fits a File. Needs no answer on the
# console.
#
#   Rscript demo/quickstart.R
#   Rscript -e 'demo("quickstart", package = "orvanelink")'

library(orvanelink)

project <- OrvaneSampleProject()
cat("Project served from a temporary copy:", project, "\n")

# Launches the reference server (a child of this R session) and connects.
ConnectOrvane(run_server = TRUE, path = project)

tryCatch({
  # ---- the tree ----------------------------------------------------------
  cat("\nThe project tree\n----------------\n")
  tree <- ListTree()
  print(tree)
  cat(sprintf("%d Files, %d of them grids\n", nrow(tree), sum(tree$kind == "grid")))

  # ---- a whole File as a data frame --------------------------------------
  samples <- ReadFile("Samples", "Demo", "Mining")
  cat("\nThe File Samples as a data frame (Cu in ", attr(samples$Cu, "units"), ", Au in ",
      attr(samples$Au, "units"), "; Inside is a selection):\n", sep = "")
  print(head(samples))

  # ---- read a grid variable (Db order: X fastest, then Y, then Z) -------
  grade <- CopyOrvaneToDb("Grade", study = "Demo", directory = "Mining", file = "Grid3D")
  grid <- FileCharacteristics()
  cat("\nGrade on Grid3D (", paste(grid$nx, collapse = " x "), " nodes), bottom layer:\n", sep = "")
  print(matrix(grade[seq_len(grid$nx[1] * grid$nx[2])], nrow = grid$nx[1],
               dimnames = list(x = seq_len(grid$nx[1]), y = seq_len(grid$nx[2]))))
  cat(sprintf("%d of %d nodes are undefined (NA)\n", sum(is.na(grade)), length(grade)))

  # ---- a macro variable: one item, then all of them ---------------------
  simu2 <- CopyOrvaneToDb("Simu[xxxxx]", item = 2)
  simu <- CopyOrvaneToDb("Simu[xxxxx]")
  cat(sprintf("\nSimu[xxxxx] holds %d items of %d values; item 2 starts with %s\n", ncol(simu),
              nrow(simu), paste(head(simu2, 4), collapse = ", ")))
  stopifnot(identical(simu2, simu[, 2]))

  # ---- write a variable and a selection, read them back -----------------
  rich <- !is.na(grade) & grade > stats::median(grade, na.rm = TRUE)
  CopyDbToOrvane(grade * 100, "GradePct", file = "Grid3D", selection = "Rich",
                 selection_values = rich, unit = "%")
  back <- CopyOrvaneToDb("GradePct", file = "Grid3D")
  mask <- CopyOrvaneToDb("Rich", file = "Grid3D")
  under <- CopyOrvaneToDb("GradePct", file = "Grid3D", selection = "Rich")
  cat(sprintf("\nWrote GradePct and the selection Rich (%d of %d nodes) into Grid3D\n",
              sum(rich), length(rich)))
  cat("read back equal to what was written:", isTRUE(all.equal(back, grade * 100)),
      "; selection equal:", identical(mask == 1, rich), "\n")
  cat(sprintf("read under the selection: %d defined values\n", sum(!is.na(under))))
  cat("Variables of Grid3D now:", paste(ListVariables(file = "Grid3D"), collapse = ", "), "\n")

  # ---- does a Db fit the File? ------------------------------------------
  fits <- DbDescription(nx = c(4, 3, 2), x0 = c(100, 200, 0), dx = c(10, 10, 5),
                        angles = c(30, 0, 0))
  cat("\nA Db description:\n")
  print(fits)
  cat("fits Grid3D:", DbCompatible(fits), "\n")
  cat("\nThe same grid with a finer mesh along X (the report comes from the bridge):\n")
  finer <- DbDescription(nx = c(4, 3, 2), x0 = c(100, 200, 0), dx = c(5, 10, 5))
  cat("fits Grid3D:", DbCompatible(finer), "\n")

  ShowTarget()
}, finally = {
  # Disconnects and stops the server launched above.
  DisconnectOrvane()
  unlink(project, recursive = TRUE)
})
cat("\nDisconnected; the reference server has been stopped.\n")

# Installs nothing: the installed package must load, and its native library
# must export the client and bridge functions under their plain names, since
# R finds the entry points by name rather than through a registered table.
test_that("the package loads and its native symbols resolve by name", {
  expect_true(requireNamespace("orvanelink", quietly = TRUE))
  dll <- getLoadedDLLs()[["orvanelink"]]
  expect_false(is.null(dll))
  client <- c("VEKClientInitialize", "VEKClientConnect", "VEKClientDisconnect",
              "VEKClientGetLastError", "VEKClientDebug", "VEKClientGetDefaultPort",
              "VEKClientServerHasFeature", "_vek_start_packet", "_vek_send_and_wait",
              "_vek_write_int", "_vek_read_string", "_vek_rw_vector")
  for (sym in client) {
    expect_true(is.loaded(sym, PACKAGE = "orvanelink"), label = sym)
  }
})

test_that("the reference server is installed beside the library", {
  server <- system.file("bin", "VEKserver", package = "orvanelink")
  expect_true(nzchar(server))
  expect_true(file.access(server, 1) == 0)
})

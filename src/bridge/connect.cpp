/*
 * Connection to the server and the entry points that report the connection
 * and the target.
 */
#include <climits>
#include <cstring>
#include <string>

#include "bridge.h"
#include "entry.h"
#include "vek_internal.h"

/* Protocol version that the bridge declares to the client library. */
#define ST_PROTOCOL_VERSION 1300030

/* Where the connection was made, for a write that must reconnect to undo
 * what it created after an interrupt closed the connection: the host, and
 * the port the server was found on (0: the default port, looked up again),
 * which a launched server keeps listening on. */
static char CONNECTED_HOST[ST_PATH_SIZE] = "";
static int CONNECTED_PORT = -1;

void st_forget_closed_connection(void) {
  if (IS_CONNECTED && !VEKClientIsConnected()) {
    IS_CONNECTED = 0;
    st_reset(0);
    _vek_reap_servers();
  }
}

/* A server that has gone (killed, crashed) is noticed without a request:
 * the socket already says so. */
static void forget_ended_connection(void) {
  if (IS_CONNECTED && _vek_drop_ended_connection()) st_forget_closed_connection();
}

int st_connect(char *vek_init, char *vek_server, char *hostname, int port_number, int run_server) {
  static char server[ST_PATH_SIZE];
  static char host[ST_PATH_SIZE];
  unsigned short port;

  forget_ended_connection();
  if (IS_CONNECTED) {
    message("Orvane is already connected. 'ConnectOrvane()' is ignored.\n");
    return 0;
  }
  st_reset(0);
  REF_path[0] = '\0';
  server[0] = '\0';
  host[0] = '\0';
  if (vek_init == NULL) vek_init = (char *)"";
  if (vek_server == NULL) vek_server = (char *)"";
  if (hostname == NULL) hostname = (char *)"";

  /* A path or host cut to fit would silently name another place: refuse. */
  if (strlen(vek_init) > ST_NAME_MAX) {
    st_refuse(ST_USAGE, "The initialisation path is longer than %d characters", ST_NAME_MAX);
    return 1;
  }
  if (strlen(vek_server) >= sizeof server) {
    st_refuse(ST_USAGE, "The server program path is longer than %d characters", (int)sizeof server - 1);
    return 1;
  }
  if (strlen(hostname) >= sizeof host) {
    st_refuse(ST_USAGE, "The host name is longer than %d characters", (int)sizeof host - 1);
    return 1;
  }
  /* A port that does not fit 16 bits would wrap to an unrelated one. */
  if (port_number > 65535) {
    st_refuse(ST_USAGE, "The port number %d is not valid (at most 65535)", port_number);
    return 1;
  }

  if (vek_init[0] != '\0') util_copy(REF_path, sizeof REF_path, vek_init);
  if (FLAG_DEBUG) message("VEK.INIT = %s\n", REF_path);
  if (vek_server[0] != '\0') util_copy(server, sizeof server, vek_server);
  if (FLAG_DEBUG) message("VEK.SERVER = %s\n", server);
  util_copy(host, sizeof host, hostname[0] != '\0' ? hostname : "localhost");
  if (FLAG_DEBUG) message("Hostname = %s\n", host);

  if (VEKClientInitialize(ST_PROTOCOL_VERSION)) return 1;
  if (server[0] != '\0') VEKClientSetVEKserverPath(server);

  port = (unsigned short)(port_number > 0 ? port_number : 0);
  if (run_server) {
    if (FLAG_DEBUG) message("Launching VEKserver...\n");
    if (VEKClientRunVEKserver(&port)) return 2;
  }
  if (FLAG_DEBUG) message("Connecting to Orvane file system...\n");
  if (VEKClientConnect(host, port, REF_path)) return 3;
  if (VEKClientSetUnitMode(1)) return 3;
  if (FLAG_DEBUG) message("Orvane is connected!\n");
  IS_CONNECTED = 1;
  util_copy(CONNECTED_HOST, sizeof CONNECTED_HOST, host);
  CONNECTED_PORT = port;
  return 0;
}

extern "C" SEXP SConnectOrvane(SEXP s_vek_init, SEXP s_vek_server, SEXP s_hostname, SEXP s_port_number,
                               SEXP s_run_server, SEXP s_flag_verbose) {
  return st_entry([&]() -> SEXP {
    std::string vek_init = RC_get_value_char(s_vek_init, NULL);
    std::string vek_server = RC_get_value_char(s_vek_server, NULL);
    std::string hostname = RC_get_value_char(s_hostname, NULL);
    int port_number = RC_get_value_integer(s_port_number, NULL);
    int run_server = RC_get_value_integer(s_run_server, NULL);
    int flag_verbose = RC_get_value_integer(s_flag_verbose, NULL);
    FLAG_DEBUG = flag_verbose;
    int status = st_connect(&vek_init[0], &vek_server[0], &hostname[0], port_number, run_server);
    return Rcpp::List::create(Rcpp::Named("error") = status == 0 ? 0 : 1);
  });
}

extern "C" SEXP SDisconnectOrvane(void) {
  return st_entry([&]() -> SEXP {
    if (!IS_CONNECTED) {
      message("Orvane is already disconnected. Nothing done.\n");
    } else {
      if (FLAG_DEBUG) message("Disconnecting from Orvane file system...\n");
      /* A failed farewell means a dead or broken server. Keeping the bridge
       * "connected" then would make every later connection "ignored" for the
       * rest of the session: close our side and forget the target anyway. */
      if (VEKClientDisconnect()) _vek_close_client();
      if (FLAG_DEBUG) message("Orvane is disconnected!\n");
      st_forget_closed_connection();
    }
    return Rcpp::List::create(Rcpp::Named("error") = 0);
  });
}

extern "C" SEXP SIsConnected(void) {
  return st_entry([&]() -> SEXP {
    forget_ended_connection();
    return Rcpp::List::create(Rcpp::Named("error") = st_check_validity(0));
  });
}

static void show_level(const char *label, int level) {
  if (st_is_defined(level)) message("%s: %s\n", label, st_ref_name(level));
  else message("%s: (Not defined yet)\n", label);
}

extern "C" SEXP SShowTarget(void) {
  return st_entry([&]() -> SEXP {
    forget_ended_connection();
    if (st_check_validity(0)) return Rcpp::List::create(Rcpp::Named("error") = 1);
    message("\n");
    message("Current Orvane Target\n");
    message("---------------------\n");
    show_level("Study     ", ST_LEVEL_STUDY);
    show_level("Directory ", ST_LEVEL_DIRECTORY);
    show_level("File      ", ST_LEVEL_FILE);
    show_level("Selection ", ST_LEVEL_SELECTION);
    show_level("Variable  ", ST_LEVEL_VARIABLE);
    return Rcpp::List::create(Rcpp::Named("error") = 0);
  });
}

/* SSetTimeout(seconds): the time limit of every wait on the server (the
 * first byte of an answer, the rest of it, connecting), from now on. */
extern "C" SEXP SSetTimeout(SEXP s_seconds) {
  return st_entry([&]() -> SEXP {
    double seconds = Rcpp::as<double>(s_seconds);
    if (!(seconds > 0) || seconds * 1000 > INT_MAX) st_abort(ST_USAGE, "Wrong time limit (%g s)", seconds);
    _vek_answer_timeout_ms = (int)(seconds * 1000 + 0.5);
    return Rcpp::List::create(Rcpp::Named("error") = 0);
  });
}

/* SServerProcesses(): the process ids of the servers launched here that
 * still run (those that ended are reaped on the way). */
extern "C" SEXP SServerProcesses(void) {
  return st_entry([&]() -> SEXP {
    int pids[64];
    int n = _vek_reap_servers(pids, 64);
    return Rcpp::wrap(std::vector<int>(pids, pids + n));
  });
}

/* SStopServers(pids): stops the servers launched here (those of `pids`;
 * NULL: all), each with whatever it started, and reaps them; returns how
 * many were running. */
extern "C" SEXP SStopServers(SEXP s_pids) {
  return st_entry([&]() -> SEXP {
    std::vector<int> pids;
    if (s_pids != R_NilValue) pids = Rcpp::as<std::vector<int>>(s_pids);
    int n = _vek_stop_servers(s_pids == R_NilValue ? NULL : pids.data(), (int)pids.size(), 2000);
    return Rcpp::wrap(n);
  });
}

/* SConnectionPlace(): where the last connection was made, as
 * SConnectOrvane takes it again without launching anything: "path",
 * "host", "port" (-1 when no connection was ever made) and "verbose". */
extern "C" SEXP SConnectionPlace(void) {
  return st_entry([&]() -> SEXP {
    return Rcpp::List::create(Rcpp::Named("path") = std::string(REF_path),
                              Rcpp::Named("host") = std::string(CONNECTED_HOST), Rcpp::Named("port") = CONNECTED_PORT,
                              Rcpp::Named("verbose") = FLAG_DEBUG);
  });
}

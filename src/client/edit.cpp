/*
 * Requests that change the project tree: deleting the current item,
 * modifying the current grid, and creating Studies, Directories, Files and
 * float Variables. Every request is answered "SDONE" and carries no field.
 */
#include <stdio.h>
#include <string.h>

#include "request_args.h"
#include "vek_internal.h"

/* A refusal that needs no server: the message, then the usual end of a
 * failed request (the socket is cleaned like after any failure). */
static int st_refuse(const char *message) {
  _vek_error("%s", message);
  return _vek_finish(VEK_RESULT_USAGE);
}

/* The answer every request of this file waits for, then the end. */
static int st_done(int code) {
  if (!code) code = _vek_answer("SDONE");
  return _vek_finish(code);
}

/* ---------------- deletion ---------------- */

/* A deletion names nothing: the server deletes its current item. */
static int st_delete(const char *trace_name, const char *keyword) {
  VEK_TRACE_ENTRY_NOARGS(trace_name);
  return st_done(_vek_request(keyword));
}

/* ---------------- grid modification ---------------- */

static int st_grid_modify(const char *trace_name, const char *keyword, double a, double b, double c) {
  VEK_TRACE_ENTRY(trace_name, "(%g,%g,%g)", a, b, c);
  int code = _vek_request(keyword);
  if (!code && !(vek_put_double(a) && vek_put_double(b) && vek_put_double(c))) code = VEK_RESULT_COMMUNICATION;
  return st_done(code);
}

/* ---------------- helpers of the creation requests ---------------- */

/* A grid travels axis by axis: origin, mesh, node count. */
static int st_put_axis(double origin, double mesh, int nodes) {
  return vek_put_double(origin) && vek_put_double(mesh) && vek_put_int(nodes);
}

/* Points: count, space dimension (3 with z, 2 without), then the arrays. */
static int st_put_points(vek_long count, const double *x, const double *y, const double *z) {
  return vek_put_long(count) && vek_put_int(z ? 3 : 2) && vek_put_doubles(x, count) && vek_put_doubles(y, count) &&
         (!z || vek_put_doubles(z, count));
}

/* Local checks of the points requests; 0 when the arrays may be sent. */
static int st_check_points(const char *function, vek_long count, const double *x, const double *y) {
  if (!x || !y) {
    _vek_error("%s(): X and Y coordinates arrays cannot be NULL.", function);
    return VEK_RESULT_USAGE;
  }
  return vek_check_values(function, count, x);
}

/* A text cut to maxsize - 1 characters, sent as string(maxsize): unit texts
 * are shortened to fit their field, never refused. */
static int st_put_cut_string(const char *text, unsigned maxsize) {
  char cut[16];
  snprintf(cut, sizeof cut, "%.*s", (int)maxsize - 1, text);
  char *p = cut;
  return _vek_write_string(VEK_SOCK, &p, maxsize);
}

/* The unit block of a variable creation. Extended servers take a presence
 * flag and up to 10 characters; older ones always one string of up to 5. */
static int st_put_unit(const char *unit) {
  if (_vek_is_extended_server()) return vek_put_int(unit != NULL) && (!unit || st_put_cut_string(unit, 11));
  return st_put_cut_string(unit ? unit : "", 6);
}

/* A name ending in "[xxxxx]" after at least one character names a macro
 * variable. */
static int st_is_macro_name(const char *name) {
  static const char suffix[] = "[xxxxx]";
  size_t n = strlen(name), k = sizeof suffix - 1;
  return n > k && strcmp(name + n - k, suffix) == 0;
}

extern "C" {

int VEKClientDeleteVariable(void) { return st_delete("VEKDeleteVariable", "CVARDEL"); }
int VEKClientDeleteFile(void) { return st_delete("VEKDeleteFile", "CFILEDEL"); }
int VEKClientDeleteDirectory(void) { return st_delete("VEKDeleteDirectory", "CDIRDEL"); }
int VEKClientDeleteStudy(void) { return st_delete("VEKClientDeleteStudy", "CSTUDYDEL"); }

int VEKClientGridModifyRotation(double angle_z, double angle_y, double angle_x) {
  return st_grid_modify("VEKClientGridModifyRotation", "GRIDMODR", angle_z, angle_y, angle_x);
}

int VEKClientGridModifyMesh(double dx, double dy, double dz) {
  return st_grid_modify("VEKClientGridModifyMesh", "GRIDMODM", dx, dy, dz);
}

int VEKClientGridModifyOrigin(double x0, double y0, double z0) {
  return st_grid_modify("VEKClientGridModifyOrigin", "GRIDMODO", x0, y0, z0);
}

/* "CSTUDYNEW": study name; the physical name only to extended servers (a
 * null one travels as the empty string). */
int VEKClientNewStudy(const char *study_name, const char *physical_name) {
  VEK_TRACE_ENTRY("VEKClientNewStudy", "(%s,%s)", VEK_STR(study_name), VEK_STR(physical_name));
  if (!study_name) return st_refuse("VEKClientNewStudy(): the study name cannot be NULL.");
  int code = _vek_request("CSTUDYNEW");
  if (!code && !vek_put_string(study_name)) code = VEK_RESULT_COMMUNICATION;
  if (!code && _vek_is_extended_server() && !vek_put_string(physical_name)) code = VEK_RESULT_COMMUNICATION;
  return st_done(code);
}

/* "CDIRNEW": name. */
int VEKClientNewDirectory(const char *name) {
  VEK_TRACE_ENTRY("VEKClientNewDirectory", "(%s)", VEK_STR(name));
  if (!name) return st_refuse("VEKClientNewDirectory(): the directory name cannot be NULL.");
  int code = _vek_request("CDIRNEW");
  if (!code && !vek_put_string(name)) code = VEK_RESULT_COMMUNICATION;
  return st_done(code);
}

/* "CGFILENEW": name, dimension, then the X, Y (and, in 3-D only, Z) axes. */
int VEKClientNewGridFile(const char *name, int dimension, double X0, double Y0, double Z0, double DX, double DY,
                         double DZ, int NX, int NY, int NZ) {
  VEK_TRACE_ENTRY("VEKClientNewGridFile", "(%s,%d,%g,%g,%g,%g,%g,%g,%d,%d,%d)", VEK_STR(name), dimension, X0, Y0, Z0,
                  DX, DY, DZ, NX, NY, NZ);
  if (!name) return st_refuse("VEKClientNewGridFile(): the file name cannot be NULL.");
  if (dimension != 2 && dimension != 3) return st_refuse("VEKClientNewGridFile(): invalid dimension.");
  int code = _vek_request("CGFILENEW");
  if (!code && !(vek_put_string(name) && vek_put_int(dimension) && st_put_axis(X0, DX, NX) && st_put_axis(Y0, DY, NY) &&
                 (dimension == 2 || st_put_axis(Z0, DZ, NZ))))
    code = VEK_RESULT_COMMUNICATION;
  return st_done(code);
}

/* "CPFILENEW": name, then the points. */
int VEKClientNewPointsFile(const char *name, vek_long count, const double *x, const double *y, const double *z) {
  VEK_TRACE_ENTRY("VEKClientNewPointsFile", "(%s,%ld,%p,%p,%p)", VEK_STR(name), (long)count, (const void *)x,
                  (const void *)y, (const void *)z);
  if (!name) return st_refuse("VEKClientNewPointsFile(): the file name cannot be NULL.");
  int code = st_check_points("VEKClientNewPointsFile", count, x, y);
  if (!code) code = _vek_request("CPFILENEW");
  if (!code && !(vek_put_string(name) && st_put_points(count, x, y, z))) code = VEK_RESULT_COMMUNICATION;
  return st_done(code);
}

/* "CPFILEAPP": the points, appended to the current points File. */
int VEKClientPointsFileAppend(vek_long count, const double *x, const double *y, const double *z) {
  VEK_TRACE_ENTRY("VEKClientPointsFileAppend", "(%ld,%p,%p,%p)", (long)count, (const void *)x, (const void *)y,
                  (const void *)z);
  int code = st_check_points("VEKClientPointsFileAppend", count, x, y);
  if (!code && !_vek_is_supported("CPFILEAPP", true)) code = VEK_RESULT_ANSWER;
  if (!code) code = _vek_request("CPFILEAPP");
  if (!code && !st_put_points(count, x, y, z)) code = VEK_RESULT_COMMUNICATION;
  return st_done(code);
}

/* "CVARMNEW" for a macro name, else "CVARFNEW": name, nbits, format, ncar,
 * ndig, unit block. Both need a server that lists "CVARMNEW". */
int VEKClientNewDoubleVariable(const char *name, int nbits, int format, int ncar, int ndig, const char *unit) {
  VEK_TRACE_ENTRY("VEKClientNewDoubleVariable", "(%s,%d,%d,%d,%d,%s)", VEK_STR(name), nbits, format, ncar, ndig,
                  VEK_STR(unit));
  if ((unsigned)format > VEK_FORMAT_TYPE_SHIFTED)
    return st_refuse("VEKClientNewDoubleVariable(): wrong output format type.");
  if (!name) return st_refuse("VEKClientNewDoubleVariable(): the variable name cannot be NULL.");
  int macro = st_is_macro_name(name);
  if (!_vek_is_supported("CVARMNEW", true)) return _vek_finish(VEK_RESULT_USAGE);
  int code = _vek_request(macro ? "CVARMNEW" : "CVARFNEW");
  if (!code && !(vek_put_string(name) && vek_put_int(nbits) && vek_put_int(format) && vek_put_int(ncar) &&
                 vek_put_int(ndig) && st_put_unit(unit)))
    code = VEK_RESULT_COMMUNICATION;
  return st_done(code);
}

} /* extern "C" */

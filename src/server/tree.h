/*
 * The project tree model of the reference server: one File in memory (its
 * kind, geometry and variables), read from and written to its file.json, and
 * the rules that the tree's names and values follow.
 *
 * The on-disk layout is described in README.md beside this file.
 */
#ifndef VEK_SERVER_TREE_H
#define VEK_SERVER_TREE_H

#include <stdint.h>

#include <string>
#include <vector>

/* The server's undefined value: stored for undefined samples, and the test
 * value announced with every read. */
#define VEK_SERVER_UNDEF 1.234e30
/* Longest item name (Study, Directory, File, Variable, macro alpha name). */
#define VEK_NAME_MAX 128
/* Names that travel in the fixed 50-byte fields of the file description. */
#define VEK_SHORT_NAME_MAX 49
/* Unit texts travel in 11-byte fields. */
#define VEK_UNIT_MAX 10
#define VEK_COMMENT_MAX 499
/* Samples of one File. One variable is then at most 2 GB in memory, which is
 * also the most that one transfer of the client's R bridge can hold. The
 * fuzzing build lowers it, so that no input can ask for gigabytes. */
#ifndef VEK_MAX_SAMPLES
#define VEK_MAX_SAMPLES 268435455LL
#endif
#define VEK_MACRO_INDEX_MAX 99999
/* Values a variable keeps in its File's description rather than in a data
 * file of its own: a change of so few values is then one replaced file,
 * flushed once with its folder, like any careful program's small save. */
#define VEK_INLINE_MAX_VALUES 128

enum FileType { FT_POINTS = 0, FT_GRAVITY_LINES = 1, FT_CORE_LINES = 2, FT_GRID = 3 };
enum VarKind { VK_FLOAT, VK_SELECTION, VK_CHAR, VK_MACRO, VK_XG, VK_YG, VK_ZG };

struct MacroItem {
  int index;
  std::string alpha;
};

struct Variable {
  std::string name;
  VarKind kind = VK_FLOAT;
  int bit_length = 32;
  int format = 0;
  int ncar = 10;
  int ndig = 3;
  int alpha_length = 0;
  std::string unit;
  std::string unit_symbol;
  std::string comment;
  std::vector<MacroItem> items;     /* macro variables */
  std::vector<std::string> strings; /* character variables, one per sample */
  std::string data;                 /* data file in the File's folder; empty: all undefined */
  bool inline_data = false;         /* the values are inline_values, kept in file.json */
  std::vector<double> inline_values;
  bool implicit = false; /* grid coordinates, computed from the geometry */
};

struct Grid {
  double X0 = 0, Y0 = 0, Z0 = 0;
  double DX = 1, DY = 1, DZ = 1;
  int NX = 1, NY = 1, NZ = 1;
  double angle_z = 0, angle_y = 0, angle_x = 0;
};

struct FileModel {
  FileType type = FT_POINTS;
  int dimension = 2;
  std::string unit = "m"; /* unit of the coordinates */
  std::string linked_file;
  int64_t s_number = 0;
  Grid grid;
  std::vector<int> line_counts; /* line Files: samples of each line, header included */
  std::string core_names[6];    /* core lines: xb, yb, zb, xe, ye, ze variable names */
  int64_t generation = 0;       /* numbers the data files that the server writes */
  std::vector<Variable> vars;   /* grid Files: the implicit coordinates come first */
};

/* Why name is not acceptable as an item name, or "" when it is. */
std::string name_problem(const std::string &name);
bool is_macro_name(const std::string &name);
/* Texts kept in file.json must be UTF-8 (JSON cannot hold other bytes). */
bool is_utf8(const std::string &s);

/* Parses and checks a file.json text. */
bool file_from_json(const std::string &text, FileModel &f, std::string &err);
std::string file_to_json(const FileModel &f);

const Variable *find_var(const FileModel &f, const std::string &name);
Variable *find_var(FileModel &f, const std::string &name);
int var_index(const FileModel &f, const std::string &name);
bool is_selection(const Variable &v);
/* A numeric variable of one bit is a selection: its samples are in or out. */
VarKind numeric_kind(int bit_length);
/* The VEK_VAR_TYPE code of a variable in its description. */
int var_type_code(const Variable &v);
/* Whether v belongs to the list filtered by the VEK_VAR_TYPE filter t;
 * filter_known tells whether t is a filter at all. */
bool var_matches(const Variable &v, int t);
bool var_filter_known(int t);
/* Doubles that a variable's data file holds: samples, times items. */
int64_t var_value_count(const FileModel &f, const Variable &v);
int macro_item_pos(const Variable &v, int index);

/* Coordinates of every node of a grid along axis 0, 1 or 2, in server order
 * (Z fastest, then Y, then X). */
void grid_coordinates(const FileModel &f, int axis, std::vector<double> &out);
/* Samples of a grid from its node counts. */
int64_t grid_samples(const Grid &g);

bool is_undefined(double v);
/* Fills a new File's grid coordinate variables after a geometry change. */
void add_grid_coordinates(FileModel &f);
bool is_length_unit(const std::string &symbol);

#endif /* VEK_SERVER_TREE_H */

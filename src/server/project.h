/*
 * The project tree on disk: Studies, Directories and Files as folders under
 * the project root, each File a folder with its file.json and data files.
 * Every change here is durable before the function returns true.
 */
#ifndef VEK_SERVER_PROJECT_H
#define VEK_SERVER_PROJECT_H

#include <string>
#include <vector>

#include "tree.h"

/* New values of one variable's data file (samples, times items for a macro). */
struct DataChange {
  std::string var;
  const std::vector<double> *values;
};

/* Checks the whole tree below root (every File's description and the size of
 * every data file) and removes what an interrupted change left behind. */
bool project_check(const std::string &root, std::string &err);

bool tree_list(const std::string &dir, std::vector<std::string> &names, std::string &err);

/* Reads a File's description and checks its data files. */
bool file_load(const std::string &fpath, FileModel &f, std::string &err);
/* Every value of v: samples (items × samples for a macro). A variable without
 * a data file is undefined everywhere (a selection: selects nothing). */
bool file_values(const std::string &fpath, const FileModel &f, const Variable &v, std::vector<double> &out,
                 std::string &err);
/* Makes next the File's description: writes the changed data files, then
 * replaces file.json (the commit point), then drops the data files that only
 * prev referenced. On failure the File on disk is still prev. */
bool file_commit(const std::string &fpath, const FileModel &prev, FileModel &next,
                 const std::vector<DataChange> &changes, std::string &err);
/* Creates the File dpath/name, complete with its data, in one step. */
bool file_create(const std::string &dpath, const std::string &name, FileModel &f,
                 const std::vector<DataChange> &changes, std::string &err);

bool study_create(const std::string &root, const std::string &name, const std::string &physical, std::string &err);
bool dir_create(const std::string &spath, const std::string &name, std::string &err);
bool item_delete(const std::string &parent, const std::string &name, std::string &err);

#endif /* VEK_SERVER_PROJECT_H */

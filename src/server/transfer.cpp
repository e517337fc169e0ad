/*
 * Transfer requests: a variable's values read and written, whole, over a
 * range of samples or line by line, under the current selection and macro
 * item. Reads let go of the shared lock before the values leave; writes
 * take the values before the exclusive lock and decide under it.
 */
#include <algorithm>
#include <math.h>

#include <new>
#include <numeric>

#include "handlers.h"

/* The variable a transfer acts on, and where its values start in the data
 * (a macro item's offset). */
struct Target {
  const Variable *var = nullptr;
  int item = -1; /* position of the macro item, -1 for a plain variable or a new item */
};

static bool transfer_target(const Session &s, const FileModel &f, std::string &err, Target &t, bool writing) {
  if (s.project.empty() || s.file.empty()) return (err = "No current File"), false;
  t.var = s.variable.empty() ? nullptr : find_var(f, s.variable);
  if (!t.var) return (err = missing_var(s)), false;
  if (t.var->kind == VK_CHAR) return (err = "Character variable '" + t.var->name + "' holds no numbers"), false;
  if (writing && t.var->implicit) return (err = "The coordinates of a grid follow from its geometry"), false;
  if (t.var->kind == VK_MACRO) {
    if (s.macro_index < 0) return (err = "No macro index set for '" + t.var->name + "'"), false;
    t.item = macro_item_pos(*t.var, s.macro_index);
    if (t.item < 0 && !writing)
      return (err = "Macro variable '" + t.var->name + "' has no item " + std::to_string(s.macro_index)), false;
  }
  return true;
}

/* Sample range [a, b) from 1-based first and last; -1, -1 is everything. */
static bool sample_range(int64_t S, int64_t first, int64_t last, int64_t &a, int64_t &b, std::string &err) {
  if (first == -1 && last == -1) {
    a = 0, b = S;
    return true;
  }
  if (first < 1 || last < first || last > S) {
    err = "Samples " + std::to_string(first) + " to " + std::to_string(last) + " are outside the File (1 to " +
          std::to_string(S) + ")";
    return false;
  }
  a = first - 1, b = last;
  return true;
}

static bool line_range(const FileModel &f, int line, int64_t &a, int64_t &b, std::string &err) {
  if (f.line_counts.empty()) return (err = "The current File has no lines"), false;
  if (line < 1 || line > (int)f.line_counts.size())
    return (err =
                "Line " + std::to_string(line) + " does not exist (1 to " + std::to_string(f.line_counts.size()) + ")"),
           false;
  a = std::accumulate(f.line_counts.begin(), f.line_counts.begin() + (line - 1), int64_t{0});
  b = a + f.line_counts[(size_t)line - 1];
  return true;
}

/* Whether sample i is selected; without a selection every sample is. */
static bool selected(const std::vector<double> &mask, int64_t i) {
  if (mask.empty()) return true;
  double m = mask[(size_t)i];
  return m != 0 && !is_undefined(m) && !isnan(m);
}

static bool selection_mask(const Session &s, const LockedFile &file, std::vector<double> &mask, std::string &err) {
  mask.clear();
  if (s.selection.empty()) return true;
  const Variable *v = find_var(file.model(), s.selection);
  if (!v) return (err = "Selection '" + s.selection + "' has vanished"), false;
  if (!file_values(file.path(), file.model(), *v, mask, err)) return false;
  /* An empty mask means "no selection": a File without samples needs none. */
  if (mask.empty()) mask.push_back(0);
  return true;
}

/* Values [a, b) of the target, unselected samples as the test value. The
 * data files are opened under the shared lock, which is let go before the
 * values leave: a slow client must not hold up the other servers. */
static void send_values(Session &s, Io &io, int64_t a, int64_t b, bool int_count) {
  std::string err;
  Target t;
  ValueSource vals, mask;
  const Variable *sel = s.selection.empty() ? nullptr : find_var(s.model(), s.selection);
  if (!s.selection.empty() && !sel) return io.error("Selection '" + s.selection + "' has vanished");
  if (!transfer_target(s, s.model(), err, t, false)) return io.error(err);
  int64_t off = t.item < 0 ? 0 : (int64_t)t.item * s.model().s_number;
  if (!vals.open(file_path(s), s.model(), *t.var, off + a, err) ||
      (sel && !mask.open(file_path(s), s.model(), *sel, a, err)))
    return io.error(err);
  tree_unlock_shared();
  std::vector<double> m;
  io.answer("SDATAF");
  if (int_count) io.aint((int)(b - a));
  else io.along(b - a);
  io.adouble(VEK_SERVER_UNDEF);
  io.adoubles_from(b - a, [&](int64_t at, size_t n, double *out, std::string &e) {
    if (!vals.read(at, n, out, e)) return false;
    if (!sel) return true;
    m.resize(n);
    if (!mask.read(at, n, m.data(), e)) return false;
    for (size_t i = 0; i < n; i++)
      if (!selected(m, (int64_t)i)) out[i] = VEK_SERVER_UNDEF;
    return true;
  });
}

static double stored_value(const Variable &v, double x, double test) {
  if (x == test) x = VEK_SERVER_UNDEF;
  if (v.kind == VK_SELECTION) return (x == 0 || is_undefined(x) || isnan(x)) ? 0.0 : 1.0;
  return x;
}

/* stored_value over a piece, the kind's test made once. */
static void store_piece(const Variable &v, double *x, size_t n, double test) {
  if (v.kind == VK_SELECTION) {
    std::transform(x, x + n, x, [&](double y) { return stored_value(v, y, test); });
    return;
  }
  std::transform(x, x + n, x, [=](double y) { return y == test ? VEK_SERVER_UNDEF : y; });
}

/* Writes vals into samples [a, b) of the target, selected samples only.
 * With `behind_headers`, vals hold the data samples of a gravity-lines File
 * and its header samples keep their values. */
static void store_values(Session &s, Io &io, LockedFile &file, int64_t a, int64_t b, double test,
                         std::vector<double> &vals, bool behind_headers = false) {
  std::string err;
  Target t;
  std::vector<double> all, mask;
  const FileModel &f = file.model();
  if (!transfer_target(s, f, err, t, true) || !selection_mask(s, file, mask, err)) return io.error(err);
  FileModel next = f;
  Variable &v = *find_var(next, t.var->name);
  int64_t S = f.s_number;
  try {
    if (v.kind != VK_MACRO && mask.empty() && a == 0 && b == S && !behind_headers) {
      /* The common whole write: the received buffer becomes the data. */
      store_piece(v, vals.data(), vals.size(), test);
      all.swap(vals);
    } else {
      if (!file_values(file.path(), f, *t.var, all, err)) return io.error(err);
      int item = t.item;
      if (v.kind == VK_MACRO && item < 0) {
        /* A new item, kept in index order. */
        size_t pos = 0;
        while (pos < v.items.size() && v.items[pos].index < s.macro_index) pos++;
        v.items.insert(v.items.begin() + (ptrdiff_t)pos, MacroItem{s.macro_index, ""});
        all.insert(all.begin() + (ptrdiff_t)(pos * (size_t)S), (size_t)S, VEK_SERVER_UNDEF);
        item = (int)pos;
      }
      size_t off = (size_t)std::max(item, 0) * (size_t)S; /* no item: the variable's own samples */
      std::vector<bool> header;
      if (behind_headers) {
        header.assign((size_t)S, false);
        int64_t first = 0;
        for (int c : f.line_counts) header[(size_t)first] = true, first += c;
      }
      for (int64_t i = a, k = 0; i < b; i++) {
        if (behind_headers && header[(size_t)i]) continue;
        if (selected(mask, i)) all[off + (size_t)i] = stored_value(v, vals[(size_t)k], test);
        k++;
      }
    }
  } catch (const std::bad_alloc &) {
    return io.error("Not enough memory to write '" + v.name + "'");
  }
  if (commit(s, io, file, next, {{v.name, &all}})) done(io);
}

static void h_read_var(Session &s, Io &io) {
  int64_t first = -1, last = -1;
  if (cfg_sub_range()) {
    first = io.rlong();
    last = io.rlong();
  }
  io.rint(); /* transfer flag: accepted, no effect */
  if (io.broken() || !need_file(s, io)) return;
  int64_t a, b;
  std::string err;
  if (!sample_range(s.model().s_number, first, last, a, b, err)) return io.error(err);
  send_values(s, io, a, b, false);
}

static void h_read_line(Session &s, Io &io) {
  int line = io.rint();
  if (io.broken() || !need_file(s, io)) return;
  int64_t a, b;
  std::string err;
  if (!line_range(s.model(), line, a, b, err)) return io.error(err);
  send_values(s, io, a, b, true);
}

/* Samples [a, b) that a write of count values to first..last (whole when
 * both are -1) covers in the File f. */
static bool write_range(const FileModel &f, int64_t first, int64_t last, int64_t count, int64_t &a, int64_t &b,
                        bool &behind_headers, std::string &err) {
  if (!sample_range(f.s_number, first, last, a, b, err)) return false;
  /* From 900000 on, clients stop staging a gravity-lines File's data samples
   * behind its line headers and send the data samples alone. */
  behind_headers = first == -1 && last == -1 && g_config.version >= 900000 && f.type == FT_GRAVITY_LINES &&
                   count == f.s_number - (int64_t)f.line_counts.size();
  if (count == b - a || behind_headers) return true;
  err = "Count " + std::to_string(count) + " does not match samples " + std::to_string(a + 1) + " to " +
        std::to_string(b);
  return false;
}

static bool line_write_range(const FileModel &f, int line, int count, int64_t &a, int64_t &b, std::string &err) {
  if (!line_range(f, line, a, b, err)) return false;
  if (count == b - a) return true;
  err = "Line " + std::to_string(line) + " holds " + std::to_string(b - a) + " samples, not " + std::to_string(count);
  return false;
}

static void changed_while_arriving(Session &s, Io &io) {
  io.error("File '" + s.file + "' changed while the values arrived; nothing was written");
}

static void refused_values(Session &s, Io &io, bool usable, int64_t count) {
  if (usable) io.error("Not enough memory for " + std::to_string(count) + " values");
  else changed_while_arriving(s, io);
}

/* The variable that a write of samples [a, b) replaces whole, every sample
 * taking a value as it arrives (no selection, no macro item, no line
 * headers to keep), as the File looks in f; null for any other write. */
static const Variable *whole_target(const Session &s, const FileModel &f, int64_t a, int64_t b, bool behind_headers) {
  if (!s.selection.empty() || behind_headers || a != 0 || b != f.s_number) return nullptr;
  const Variable *v = s.variable.empty() ? nullptr : find_var(f, s.variable);
  if (!v || v->kind == VK_MACRO || v->kind == VK_CHAR || v->implicit) return nullptr;
  return v;
}

/* A whole write whose values went straight to an unnamed data file: put
 * in place if the File, as it is now under the lock, still takes it so. */
static void commit_written(Session &s, Io &io, LockedFile &file, int64_t a, int64_t b, bool behind_headers, int kind,
                           fs_new_data &data) {
  const Variable *v = whole_target(s, file.model(), a, b, behind_headers);
  if (!v || v->kind != kind) return changed_while_arriving(s, io);
  FileModel next = file.model();
  DataChange change{v->name, nullptr, &data};
  if (commit(s, io, file, next, {change})) done(io);
}

/* The values are taken only when the request can use them; the stored data
 * changes only after the whole request has arrived. A whole write of more
 * values than a description keeps goes straight to a new unnamed data file,
 * flushed before the lock is taken; others are kept in memory. Whether they fit is asked again of the File as
 * it is once the write lock is held: another server may have added points
 * meanwhile. */
static void h_write_var(Session &s, Io &io) {
  int64_t first = -1, last = -1;
  if (cfg_sub_range()) {
    first = io.rlong();
    last = io.rlong();
  }
  io.rint(); /* transfer flag: accepted, no effect */
  double test = io.rdouble();
  int64_t count = io.rlong();
  int64_t a = 0, b = 0;
  std::string err;
  bool behind_headers = false;
  bool usable =
      !io.broken() && !s.file.empty() && write_range(s.model(), first, last, count, a, b, behind_headers, err);
  const Variable *whole = usable ? whole_target(s, s.model(), a, b, behind_headers) : nullptr;
  fs_new_data data;
  std::string unused;
  /* A few values are kept in the description, which the commit writes anyway. */
  if (whole && count > VEK_INLINE_MAX_VALUES && data.open(file_path(s), unused)) {
    Variable v = *whole;
    std::string failed;
    bool taken = io.rdoubles_each(count, [&](double *x, size_t k) {
      store_piece(v, x, k, test);
      return data.append(x, k, failed);
    });
    if (io.broken()) return;
    if (!taken && failed.empty()) failed = "not enough memory to receive " + std::to_string(count) + " values";
    if (failed.empty()) data.flush(failed);
    if (!failed.empty()) return io.error("File '" + s.file + "' was not changed: " + failed);
    std::unique_ptr<LockedFile> file = need_file_to_change(s, io);
    if (!file) return;
    if (!write_range(file->model(), first, last, count, a, b, behind_headers, err)) return io.error(err);
    return commit_written(s, io, *file, a, b, behind_headers, v.kind, data);
  }
  std::vector<double> vals;
  bool kept = io.rdoubles(count, usable, vals);
  if (io.broken()) return;
  std::unique_ptr<LockedFile> file = need_file_to_change(s, io);
  if (!file) return;
  if (!write_range(file->model(), first, last, count, a, b, behind_headers, err)) return io.error(err);
  if (!kept) return refused_values(s, io, usable, count);
  store_values(s, io, *file, a, b, test, vals, behind_headers);
}

static void h_write_line(Session &s, Io &io) {
  int line = io.rint();
  int count = io.rint();
  double test = io.rdouble();
  int64_t a, b;
  std::string err;
  bool usable = !io.broken() && !s.file.empty() && line_write_range(s.model(), line, count, a, b, err);
  std::vector<double> vals;
  bool kept = io.rdoubles(count, usable, vals);
  if (io.broken()) return;
  std::unique_ptr<LockedFile> file = need_file_to_change(s, io);
  if (!file) return;
  if (!line_write_range(file->model(), line, count, a, b, err)) return io.error(err);
  if (!kept) return refused_values(s, io, usable, count);
  store_values(s, io, *file, a, b, test, vals);
}

static const Request kTable[] = {
    {"CREADVARF", h_read_var},
    {"CREADLINF", h_read_line},
    {"CWRITVARF", h_write_var},
    {"CWRITLINF", h_write_line},
};
const RequestFamily kTransferRequests = REQUEST_FAMILY(kTable);

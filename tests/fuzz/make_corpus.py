#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: valid answers of a server
(corpus/client) and valid request streams of a client (corpus/server), in
the input layouts that client_answers.cpp and server_requests.cpp describe.
Run it again after a layout changes: python3 tests/fuzz/make_corpus.py"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def i32(v): return struct.pack(">i", v)
def i64(v): return struct.pack(">q", v)
def dbl(v): return struct.pack(">d", v)


def s(text):
    b = text.encode()
    return struct.pack(">I", len(b)) + b + b"\0" * ((4 - len(b) % 4) % 4)


def names(*items): return i32(len(items)) + b"".join(s(n) for n in items)


# ---- client: head (call, version index, announced bits, flags, failing
# allocation) and the answer pieces ----
VERSIONS = [100, 406, 407, 408, 409, 410, 411, 400000, 400500, 401000, 800000, 899999, 900000,
            1300029, 1300030, 1300031]
ANNOUNCED = ["CARCH", "CCOMGET", "CMACROALP", "CLFILECNT", "CINDASET", "CDIRXIST", "CFILEXIST",
             "CVARXIST", "CVARMNEW", "CPFILEAPP", "CFILETLST", "CVARTLST", "CVDATEXIS", "CSUPREQ",
             "CPALLST", "CUNK7"]
# The calls of client_answers.cpp, in the order of its table kCalls.
CALLS = ["handshake", "handshake_path", "studies", "directories", "files", "files_by_type", "variables",
         "float_variables", "macro_variables", "selections", "dir_exists", "file_exists", "var_exists",
         "file_info", "var_info", "macro", "macro_alpha", "read", "read_sub", "read_sub_all", "read_line",
         "set_study", "set_variable", "set_selection", "set_index", "set_alpha", "unit_mode", "variable_unit",
         "creation_units", "write", "write_flagged", "write_sub", "write_sub_line", "write_sub_all", "write_line",
         "new_variable", "new_points", "append_points", "delete_variable", "bye", "read_into"]
ALL = ANNOUNCED[:12]


def head(call, version=1300030, announced=ALL, flags=1):
    bits = sum(1 << ANNOUNCED.index(k) for k in announced)
    return bytes([CALLS.index(call), VERSIONS.index(version), bits >> 8, bits & 0xFF, flags, 0])


def file_info(ftype=3, version=1300030, s_number=24, items=0, wide=True):
    out = i32(ftype) + s("") + i32(0) + i32(0) + i32(3) + (i64 if wide else i32)(s_number)
    out += i32(items) + b"".join(dbl(v) for v in (100, 200, 0, 10, 10, 5)) + i32(4) + i32(3) + i32(2)
    out += i32(1) + dbl(30) + dbl(0) + dbl(0)
    out += b"".join(s(n) for n in ("SN", "LN", "RN", "X", "Y", "Z"))
    if version >= 900000 and ftype == 2:
        out += b"".join(s(n) for n in ("Xb", "Yb", "Zb", "Xe", "Ye", "Ze"))
    if version >= 1300030:
        out += s("LNAME")
    return out + i32(0) + i32(0) + b"".join(i32(v) for v in (0, 0, 0, 0, 0))


def data(values, wide=True):
    count = i64(len(values)) if wide else i32(len(values))
    return count + dbl(1.234e30) + b"".join(dbl(v) for v in values)


SEP = b"|SEG|"
CLIENT = {
    "handshake": (head("handshake"), [s("SWELCOME") + i32(1300030), s("SNOSESS"), s("SOK"),
                                      s("SSUPREQ") + names(*ALL), s("SARCH") + i32(1), s("SBYE BYE")]),
    "handshake_newport": (head("handshake_path"), [s("SWELCOME") + i32(1300030), s("SNEWPORT") + i32(6000),
                                                 s("SWELCOME") + i32(1300030), s("SOK"),
                                                 s("SSUPREQ") + names("CCOMGET"), s("SBYE BYE")]),
    "handshake_100": (head("handshake"), [s("SWELCOME") + i32(100), s("SBYE BYE")]),
    "handshake_old": (head("handshake"), [s("SWELCOME") + i32(408), s("SNOSESS"), s("SOK"), s("SBYE BYE")]),
    "studies": (head("studies"), [s("SSTUDIES") + names("Demo", "Other")]),
    "files_by_type": (head("files_by_type"), [s("SFILES") + names("Grid3D", "Grid2D")]),
    "variables": (head("variables"), [s("SVARS") + names("Grade", "Simu[xxxxx]", "Lithology")]),
    "macro_variables": (head("macro_variables"), [s("SVARS") + names("Simu[xxxxx]")]),
    "exists": (head("var_exists"), [s("SEXIST") + i32(1)]),
    "exists_by_list": (head("file_exists", announced=[]), [s("SFILES") + names("Grid3D", "Lines")]),
    "set_study": (head("set_study"), [s("SDONE")]),
    "alpha_index": (head("set_alpha", announced=["CMACROALP"]),
                    [s("SMACROALP") + i32(3) + i32(1) + i32(2) + i32(3) + i32(1) + s("low") + s("Cu") + s("high"),
                     s("SDONE")]),
    "server_error": (head("set_variable"), [s("SERROR") + s("Variable 'Grade' does not exist")]),
    "file_info_grid": (head("file_info"), [s("SFILEINFO") + file_info()]),
    "file_info_cores": (head("file_info", version=900000), [s("SFILEINFO") + file_info(2, 900000, 5)]),
    "file_info_old": (head("file_info", version=408, flags=0), [s("SFILEINFO") + file_info(1, 408, 12, 3, wide=False)]),
    "var_info": (head("var_info"), [s("SVARINFO") + b"".join(i32(v) for v in (0, 32, 0, 0, 1)) + s("g/t")
                                   + s("g/t") + i32(0)]),
    "var_info_comment": (head("var_info", announced=[]), [s("SVARINFO") + b"".join(i32(v) for v in (0, 32, 0, 0, 1))
                                                         + s("m") + s("a comment") + s("m") + i32(1)]),
    "macro": (head("macro"), [s("SMACROIND") + i32(3) + i32(1) + i32(2) + i32(3)]),
    "macro_alpha": (head("macro_alpha"), [s("SMACROALP") + i32(3) + i32(1) + i32(2) + i32(3) + i32(1)
                                       + s("low") + s("mid") + s("high")]),
    "read": (head("read"), [s("SDATAF") + data([1.5, 2.5, 1.234e30, 4])]),
    "read_sub_old": (head("read_sub", version=408, flags=0), [s("SDATAF") + data([1, 2, 3], wide=False)]),
    "read_into": (head("read_into"), [s("SDATAF") + data([1.5, 2.5, 1.234e30, 4, 5, 6, 7])]),
    "read_line": (head("read_line", announced=["CLFILECNT"]), [s("SDATAF") + data([7, 8, 9], False)]),
    # A count is a promise: 2^30 values announced, three sent.
    "read_promised_count": (head("read_line", announced=["CLFILECNT"]),
                            [s("SDATAF") + i32(1 << 30) + dbl(1.234e30) + dbl(1) + dbl(2) + dbl(3)]),
    "write": (head("write"), [s("SDONE")]),
    "write_lines_staged": (head("write", version=800000, announced=["CARCH", "CLFILECNT"]),
                           [s("SFILEINFO") + file_info(1, 800000, 9, 3), s("SLFILECNT") + i32(3) + i32(4)
                            + i32(3) + i32(2), s("SDONE")]),
    "write_one_line": (head("write_sub_line", version=800000, announced=["CARCH", "CLFILECNT"]),
                       [s("SFILEINFO") + file_info(1, 800000, 12, 3), s("SLFILECNT") + i32(3) + i32(4) + i32(5)
                        + i32(3), s("SLFILECNT") + i32(3) + i32(4) + i32(5) + i32(3), s("SDONE")]),
    "new_variable": (head("new_variable"), [s("SDONE")]),
    "bye": (head("bye"), [s("SBYE BYE")]),
}

# ---- server: version index, then the requests ----
SVERSIONS = [100, 406, 409, 410, 400500, 800000, 1300029, 1300030]
HELLO = (s("CHELLO") + s("") + i32(1300030) + s("CNEWSESS") + s("CVEKDATA") + s("") + s("CSUPREQ")
         + s("CARCH") + i32(1))


def at(file, var=None):
    out = s("CSTUDYSET") + s("Demo") + s("CDIRSET") + s("Mining") + s("CFILESET") + s(file)
    return out + (s("CVARSET") + s(var) if var else b"")


def session(*parts, version=1300030):
    return bytes([SVERSIONS.index(version)]) + HELLO + b"".join(parts) + s("CBYE BYE")


SERVER = {
    "catalogue": session(s("CSTUDYLST"), s("CSTUDYSET") + s("Demo"), s("CDIRLST"), s("CDIRXIST") + s("Mining"),
                         s("CDIRSET") + s("Mining"), s("CFILELST"), s("CFILETLST") + i32(3) + i32(-1),
                         s("CFILEXIST") + s("Lines"), s("CFILESET") + s("Grid3D"), s("CVARLST"),
                         s("CVARTLST") + i32(5), s("CVARXIST") + s("Grade")),
    "describe_grid": session(at("Grid3D", "Grade"), s("CFILEINFO"), s("CVARINFO"), s("CCOMGET")),
    "macro": session(at("Grid3D", "Simu[xxxxx]"), s("CMACROIND"), s("CMACROALP"), s("CINDASET") + s("mid"),
                     s("CREADVARF") + i64(-1) + i64(-1) + i32(0), s("CINDSET") + i32(1),
                     s("CWRITVARF") + i64(-1) + i64(-1) + i32(0) + dbl(1.234e30) + i64(24)
                     + b"".join(dbl(v) for v in range(24))),
    "read_selected": session(at("Samples", "Cu"), s("CSELSET") + s("Inside"),
                             s("CREADVARF") + i64(2) + i64(5) + i32(0)),
    "lines": session(at("Lines", "Gravity"), s("CLFILECNT"), s("CREADLINF") + i32(2),
                     s("CWRITLINF") + i32(2) + i32(5) + dbl(1.234e30) + b"".join(dbl(v) for v in range(5))),
    "lines_old": session(at("Lines", "Gravity"), s("CFILEINFO"), s("CLFILECNT"),
                         s("CWRITVARF") + i64(1) + i64(12) + i32(0) + dbl(1.234e30) + i64(12)
                         + b"".join(dbl(v) for v in range(12)), version=800000),
    "units": session(at("Samples", "Cu"), s("CUNITMODE") + i32(1), s("CDISTUSET") + s("m"),
                     s("CUNITCR") + s("m") + s("m") + s("m"), s("CVARUNIT") + i32(2) + s("m") + s("km")),
    "create": session(s("CSTUDYNEW") + s("New") + s("new"), s("CSTUDYSET") + s("New"), s("CDIRNEW") + s("D"),
                      s("CDIRSET") + s("D"),
                      s("CGFILENEW") + s("G") + i32(2) + dbl(0) + dbl(1) + i32(3) + dbl(0) + dbl(1) + i32(2),
                      s("CPFILENEW") + s("P") + i64(2) + i32(2) + dbl(0) + dbl(1) + dbl(2) + dbl(3),
                      s("CFILESET") + s("P"), s("CPFILEAPP") + i64(1) + i32(2) + dbl(4) + dbl(5),
                      s("CVARFNEW") + s("V") + i32(32) + i32(0) + i32(10) + i32(3) + i32(1) + s("m"),
                      s("CVARMNEW") + s("M[xxxxx]") + i32(32) + i32(0) + i32(10) + i32(3) + i32(0)),
    "modify_delete": session(at("Grid2D"), s("GRIDMODR") + dbl(10) + dbl(0) + dbl(0),
                             s("GRIDMODM") + dbl(2) + dbl(2) + dbl(1), s("GRIDMODO") + dbl(1) + dbl(1) + dbl(0),
                             s("CVARSET") + s("Depth"), s("CVARDEL"), s("CFILEDEL"), s("CDIRDEL"), s("CSTUDYDEL")),
    "old_server": session(at("Samples", "Au"), s("CVARINFO"), s("CFILEINFO"),
                          s("CREADVARF") + i32(0), version=406),
    "unknown_and_broken": session(s("CJUNK") + i32(7), s("CSTUDYSET") + struct.pack(">I", 20000)),
}


def write(kind, corpus):
    folder = os.path.join(HERE, "corpus", kind)
    os.makedirs(folder, exist_ok=True)
    for name, content in corpus.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(content)


write("client", {name: h + SEP.join(pieces) for name, (h, pieces) in CLIENT.items()})
write("server", SERVER)

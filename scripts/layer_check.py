#!/usr/bin/python3
"""Keeps the arrows between the source folders pointing one way.

The mail engine (transport, web, the filters' logic) and the layers below
it (platform's engine half, tables, codecs) must build and run without a
display: they may not include a window header or a Qt Gui/Widgets header.

The windows and the tools start and save the data tables only through
the engine (its table owners and their loader): a window or tool file may
not call the table library's file routines itself.

  layer_check.py [--src DIR] [--qt-include DIR]
      lists file:line of every include from the engine side that reaches
      the windows, and of every call from a window or tool file to the
      table files; exit status 1 if there is any, and then the folder
      graph on stderr.
  layer_check.py --graph [--src DIR]
      prints which folder includes which (with counts) and exits 0.
  layer_check.py --binaries FILE... [--forbid LIB...]
      fails if a linked program needs one of the forbidden shared libraries
      (readelf NEEDED), or if a static library refers to a symbol that only
      a forbidden library defines.
"""

import argparse
import contextlib
import os
import re
import subprocess
import sys
from collections import defaultdict

INCLUDE_RE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

# Folders (relative to src/) whose files make up the engine side.
ENGINE_DIRS = ["transport", "web", "filters", "platform", "tables", "codecs"]
# Parts of those folders that belong to the windows all the same.
WINDOW_SUBDIRS = ["filters/windows"]
PLATFORM_WINDOW_FILES = {
    "platform/application.h",
    "platform/application.cpp",
    "platform/widget_services.cpp",
}

CRASH_WINDOW_FILES = {"crash/zel_dialog.h", "crash/zel_dialog.cpp"}

# Our own headers that are windows wherever they are included from.
WINDOW_HEADER_DIRS = ["shell/", "settings/", "browser/", "filters/windows/"]
WINDOW_HEADERS = {
    f for f in PLATFORM_WINDOW_FILES | CRASH_WINDOW_FILES if f.endswith(".h")}

# Used when no Qt include folder is at hand: the Gui/Widgets headers the
# code base has ever reached for.
FALLBACK_QT_WINDOW_HEADERS = {
    "QWidget", "QDialog", "QApplication", "QLabel", "QColor", "QPixmap",
    "QGuiApplication", "QDesktopServices", "QMessageBox", "QInputDialog",
    "QLineEdit", "QPushButton", "QToolButton", "QCheckBox", "QComboBox",
    "QTreeWidget", "QTableWidget", "QMenu", "QAction", "QScreen",
    "QClipboard", "QPainter", "QIcon", "QFont", "QKeyEvent", "QMouseEvent",
    "QPlainTextEdit", "QMainWindow", "QSystemTrayIcon", "QTextBrowser",
}

QT_INCLUDE_CANDIDATES = [
    "/usr/include/x86_64-linux-gnu/qt6",
    "/usr/include/aarch64-linux-gnu/qt6",
    "/usr/include/qt6",
]


# What only the engine may call: the table library's whole-file load and
# save, and the engine's own file steps under the table owners.
TABLE_FILE_CALL_RE = re.compile(
    r"\b(?:(?:Save|Load)(?:To|From)(?:Binary|CSV)(?:File|Stream)"
    r"|tablefiles::(?:LoadOrCreate|Migrate|SetAside)"
    r"|SaveTableFile)\s*\(")
# Folders of the windows and the tools (the programs' entries).
TOOL_DIRS = ["app"]


def rel(path, root):
    return os.path.relpath(path, root).replace(os.sep, "/")


def is_engine_file(relpath):
    top = relpath.split("/", 1)[0]
    if top not in ENGINE_DIRS:
        return False
    if any(relpath.startswith(d + "/") for d in WINDOW_SUBDIRS):
        return False
    return relpath not in PLATFORM_WINDOW_FILES


def is_window_or_tool_file(relpath):
    if relpath in PLATFORM_WINDOW_FILES or relpath in CRASH_WINDOW_FILES:
        return True
    if any(relpath.startswith(d) for d in WINDOW_HEADER_DIRS):
        return True
    return relpath.split("/", 1)[0] in TOOL_DIRS


def code_lines(path):
    """The file's lines without // comments, /* */ comments and string
    literals, numbered from 1."""
    with open(path, encoding="utf-8", errors="replace") as fh:
        text = fh.read()
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    for lineno, line in enumerate(text.split("\n"), 1):
        line = re.sub(r'"(?:\\.|[^"\\])*"', '""', line)
        yield lineno, line.split("//", 1)[0]


def table_file_calls(src):
    out = []
    for path in source_files(src):
        r = rel(path, src)
        if not is_window_or_tool_file(r):
            continue
        for lineno, line in code_lines(path):
            m = TABLE_FILE_CALL_RE.search(line)
            if m:
                out.append(f"src/{r}:{lineno}: calls {m.group(0).rstrip('( ').strip()}; "
                           "tables are loaded and saved through the engine")
    return out


def qt_window_headers(qt_include):
    """Names of every public Gui and Widgets header (<QFoo>, <QtGui/...>)."""
    names = set()
    roots = [qt_include] if qt_include else QT_INCLUDE_CANDIDATES
    found = False
    for root in roots:
        for module in ("QtGui", "QtWidgets", "QtOpenGLWidgets", "QtPrintSupport"):
            d = os.path.join(root, module)
            if os.path.isdir(d):
                found = True
                names.update(os.listdir(d))
        if found:
            break
    if not found:
        return set(FALLBACK_QT_WINDOW_HEADERS)
    return names


def resolve(kind, name, relpath):
    """An include as a path under src/: "zel_dialog.h" from crash/x.cpp is
    crash/zel_dialog.h; anything with a folder is taken as it is."""
    if kind == '"' and "/" not in name:
        here = relpath.rsplit("/", 1)[0] if "/" in relpath else ""
        return f"{here}/{name}" if here else name
    return name


def is_window_include(kind, name, qt_names):
    if kind == '"':
        if name in WINDOW_HEADERS:
            return True
        return any(name.startswith(d) for d in WINDOW_HEADER_DIRS)
    if name.startswith(("QtGui/", "QtWidgets/", "QtOpenGLWidgets/", "QtPrintSupport/")):
        return True
    if name in ("QtGui", "QtWidgets"):
        return True
    return "/" not in name and name.startswith("Q") and name in qt_names


def source_files(src):
    for dirpath, dirnames, filenames in os.walk(src):
        dirnames.sort()
        for f in sorted(filenames):
            if f.endswith((".h", ".hpp", ".cpp", ".cc", ".c")):
                yield os.path.join(dirpath, f)


def includes_of(path):
    with open(path, encoding="utf-8", errors="replace") as fh:
        for lineno, line in enumerate(fh, 1):
            m = INCLUDE_RE.match(line)
            if m:
                yield lineno, m.group(1), m.group(2)


def violations(src, qt_names):
    out = []
    for path in source_files(src):
        r = rel(path, src)
        if not is_engine_file(r):
            continue
        for lineno, kind, name in includes_of(path):
            if is_window_include(kind, resolve(kind, name, r), qt_names):
                shown = f"<{name}>" if kind == "<" else f'"{name}"'
                out.append(f"src/{r}:{lineno}: includes {shown}")
    return out


def folder_of(relpath):
    parts = relpath.split("/")
    if len(parts) >= 3 and parts[0] == "filters" and parts[1] == "windows":
        return "filters/windows"
    if relpath in PLATFORM_WINDOW_FILES:
        return "platform(windows)"
    if relpath in CRASH_WINDOW_FILES:
        return "crash(windows)"
    return parts[0] if len(parts) > 1 else "."


def include_graph(src, qt_names):
    """folder -> {folder: count}; Qt Gui/Widgets headers count as 'Qt-Gui/Widgets'."""
    folders = {d for d in os.listdir(src) if os.path.isdir(os.path.join(src, d))}
    graph = defaultdict(lambda: defaultdict(int))
    for path in source_files(src):
        r = rel(path, src)
        here = folder_of(r)
        for _, kind, name in includes_of(path):
            name = resolve(kind, name, r)
            if kind == '"' and "/" in name and name.split("/", 1)[0] in folders:
                there = folder_of(name)
            elif kind == "<" and is_window_include(kind, name, qt_names):
                there = "Qt-Gui/Widgets"
            else:
                continue
            if there != here:
                graph[here][there] += 1
    return graph


def print_graph(graph):
    for here in sorted(graph):
        targets = graph[here]
        shown = ", ".join(f"{t} ({targets[t]})" for t in sorted(targets))
        print(f"{here} -> {shown}")


def needed_libs(binary):
    res = subprocess.run(["readelf", "-d", binary], capture_output=True, text=True)
    if res.returncode != 0:
        raise RuntimeError(f"readelf failed on {binary}: {res.stderr.strip()}")
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", res.stdout)


def is_archive(path):
    with open(path, "rb") as fh:
        return fh.read(8) == b"!<arch>\n"


def symbols(args, path):
    res = subprocess.run(["nm"] + args + [path], capture_output=True, text=True)
    if res.returncode != 0:
        raise RuntimeError(f"nm failed on {path}: {res.stderr.strip()}")
    return res.stdout.splitlines()


def check_binaries(binaries, forbid):
    problems = []
    forbidden_bases = [os.path.basename(f).split(".so")[0] for f in forbid]
    forbidden_symbols = None
    for b in binaries:
        if not os.path.exists(b):
            problems.append(f"{b}: not built")
            continue
        if is_archive(b):
            if forbidden_symbols is None:
                # A symbol the core libraries define too (inline templates,
                # vtables of shared bases) is no sign of a window.
                forbidden_symbols = {}
                for lib in forbid:
                    for line in symbols(["-D", "--defined-only"], lib):
                        name = line.split()[-1].split("@")[0]
                        forbidden_symbols.setdefault(name, os.path.basename(lib))
            seen = set()
            member = "?"
            for line in symbols(["--undefined-only"], b):
                if line.endswith(":"):
                    member = line[:-1]
                    continue
                name = line.split()[-1] if line.strip() else ""
                lib = forbidden_symbols.get(name)
                if lib and (member, lib) not in seen:
                    seen.add((member, lib))
                    problems.append(f"{b}({member}): refers to {lib} ({name})")
        else:
            for lib in needed_libs(b):
                if any(lib.startswith(base) for base in forbidden_bases):
                    problems.append(f"{b}: needs {lib}")
    return problems


def report(problems, what):
    """Prints the problems and their count; the exit status."""
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} {what}", file=sys.stderr)
        return 1
    return 0


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--src", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))
    ap.add_argument("--qt-include", default=None)
    ap.add_argument("--graph", action="store_true")
    ap.add_argument("--binaries", nargs="*", default=None)
    ap.add_argument("--forbid", nargs="*", default=[])
    args = ap.parse_args(argv)
    src = os.path.normpath(args.src)

    if args.binaries is not None:
        if not args.forbid:
            ap.error("--binaries needs --forbid LIB...")
        return report(check_binaries(args.binaries, args.forbid), "link(s) from the engine into Qt Gui/Widgets")

    qt_names = qt_window_headers(args.qt_include)
    if args.graph:
        print_graph(include_graph(src, qt_names))
        return 0

    problems = violations(src, qt_names) + table_file_calls(src)
    status = report(problems, "layering problem(s): engine includes reaching the windows, "
                              "or window/tool calls to the table files")
    if status:
        # On stderr, beside the count: the list on stdout stays one problem a line.
        print("folder graph (folder -> folders it includes, with counts):", file=sys.stderr)
        with contextlib.redirect_stdout(sys.stderr):
            print_graph(include_graph(src, qt_names))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""The layering check on small made-up trees and binaries: what it must
report, what it must let pass, and the include graph it prints."""

import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from contextlib import redirect_stderr, redirect_stdout

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import layer_check  # noqa: E402

QT_NAMES = {"QWidget", "QDialog", "QLabel", "QColor", "QDesktopServices", "QApplication"}


class Tree:
    def __init__(self, root):
        self.src = os.path.join(root, "src")

    def write(self, rel, *includes):
        path = os.path.join(self.src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as fh:
            fh.write("// a unit\n")
            for inc in includes:
                fh.write(f"#include {inc}\n")


class IncludeRules(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tw_layers_")
        self.tree = Tree(self.dir)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def found(self):
        return layer_check.violations(self.tree.src, QT_NAMES)

    def test_reported_and_allowed_includes(self):
        # (file, include, reported)
        cases = [
            ("transport/smtp.cpp", '"shell/main.h"', True),
            ("transport/smtp.cpp", '"settings/setup.h"', True),
            ("web/http.cpp", '"browser/details.h"', True),
            ("filters/spam.cpp", '"filters/windows/spam_window.h"', True),
            ("transport/relay.cpp", '"crash/zel_dialog.h"', True),
            ("platform/sockets.cpp", '"platform/application.h"', True),
            ("codecs/auth.cpp", "<QColor>", True),
            ("tables/memtable.cpp", "<QtWidgets/QLabel>", True),
            ("platform/shell.cpp", "<QDesktopServices>", True),
            ("platform/shell.cpp", "<QtGui>", True),
            ("transport/store.cpp", '"transport/store.h"', False),
            ("transport/store.cpp", '"crash/zel_except.h"', False),
            ("transport/store.cpp", "<QString>", False),
            ("transport/store.cpp", "<QTcpSocket>", False),
            ("transport/store.cpp", "<string>", False),
            ("filters/windows/spam_window.cpp", "<QDialog>", False),
            ("platform/application.cpp", "<QApplication>", False),
            ("platform/widget_services.cpp", "<QWidget>", False),
            ("shell/main.cpp", '"settings/setup.h"', False),
            ("settings/setup.cpp", "<QLabel>", False),
        ]
        for rel, inc, reported in cases:
            with self.subTest(file=rel, include=inc):
                shutil.rmtree(self.tree.src, ignore_errors=True)
                self.tree.write(rel, "<vector>", inc)
                got = self.found()
                if reported:
                    self.assertEqual(got, [f"src/{rel}:3: includes {inc}"])
                else:
                    self.assertEqual(got, [])

    def test_a_folders_own_header_by_its_bare_name(self):
        # The crash library's engine part naming the dialog without a folder.
        self.tree.write("crash/zel_dialog.h", "<QDialog>")
        self.tree.write("platform/files.cpp", '"application.h"')
        self.tree.write("transport/x.cpp", '"main.h"')  # transport/main.h: not a window
        self.assertEqual(self.found(), ['src/platform/files.cpp:2: includes "application.h"'])

    def test_exit_status_and_listing(self):
        self.tree.write("web/http.cpp", '"shell/procs.h"', '"web/http.h"', '"shell/globals.h"')
        out = io.StringIO()
        with redirect_stdout(out):
            status = layer_check.main(["--src", self.tree.src])
        self.assertEqual(status, 1)
        self.assertEqual(out.getvalue().splitlines(),
                         ['src/web/http.cpp:2: includes "shell/procs.h"',
                          'src/web/http.cpp:4: includes "shell/globals.h"'])
        shutil.rmtree(self.tree.src)
        self.tree.write("web/http.cpp", '"web/http.h"')
        with redirect_stdout(io.StringIO()):
            self.assertEqual(layer_check.main(["--src", self.tree.src]), 0)

    def test_graph_counts_folders_once_per_include(self):
        self.tree.write("platform/files.h")
        self.tree.write("transport/a.cpp", '"shell/main.h"', '"shell/procs.h"', '"platform/files.h"',
                        '"transport/a.h"', "<QLabel>")
        self.tree.write("shell/main.cpp", '"transport/servers.h"', '"filters/windows/w.h"')
        self.tree.write("filters/windows/w.cpp", '"filters/spam.h"', '"w.h"')
        graph = layer_check.include_graph(self.tree.src, QT_NAMES)
        self.assertEqual(dict(graph["transport"]), {"shell": 2, "platform": 1, "Qt-Gui/Widgets": 1})
        self.assertEqual(dict(graph["shell"]), {"transport": 1, "filters/windows": 1})
        self.assertEqual(dict(graph["filters/windows"]), {"filters": 1})


class TableFileRules(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tw_layers_tables_")
        self.src = os.path.join(self.dir, "src")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, rel, text):
        path = os.path.join(self.src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as fh:
            fh.write(text)

    def test_window_and_tool_calls_are_reported_engine_calls_are_not(self):
        # (file, line of code, reported)
        cases = [
            ("settings/setup.cpp", "    TblDomain->SaveToBinaryFile(dir + x);", True),
            ("browser/details.cpp", "table.LoadFromBinaryFile(ProgramDir + u);", True),
            ("app/adduser.cpp", "if (ok) table.SaveToBinaryFile(file);", True),
            ("filters/windows/spam_window.cpp", "t.LoadFromCSVStream (in);", True),
            ("shell/main.cpp", "tablefiles::LoadOrCreate(t, path, define);", True),
            ("settings/accounts.cpp", "tablefiles::Migrate(a, b, c, d, e, f);", True),
            ("crash/zel_dialog.cpp", "tables::SaveTableFile(t, path);", True),
            ("transport/engine_tables.cpp", "t.LoadFromBinaryFile(path);", False),
            ("web/http.cpp", "tablefiles::LoadOrCreate(t, path, define);", False),
            ("filters/spam_settings.cpp", "t.SaveToBinaryFile(path);", False),
            ("settings/setup.cpp", "// TblUsers->LoadFromBinaryFile(path) was here", False),
            ("settings/setup.cpp", 'LogLine("LoadFromBinaryFile(x) failed");', False),
            ("settings/setup.cpp", "tables::LoadEngineTables(ProgramDir);", False),
            ("settings/setup.cpp", "owner->ApplyEdits(ProgramDir, base, t);", False),
        ]
        for rel, line, reported in cases:
            with self.subTest(file=rel, line=line):
                shutil.rmtree(self.src, ignore_errors=True)
                self.write(rel, "// a unit\n/* SaveToBinaryFile(x)\n */\n" + line + "\n")
                got = layer_check.table_file_calls(self.src)
                self.assertEqual(len(got), 1 if reported else 0, got)
                if reported:
                    self.assertTrue(got[0].startswith(f"src/{rel}:4: calls "), got[0])

    def test_a_call_fails_the_check_and_the_graph_follows(self):
        self.write("settings/link.h", "// a header\n")
        self.write("app/adduser.cpp", '#include "settings/link.h"\nint main() { t.SaveToBinaryFile(f); }\n')
        out, err = io.StringIO(), io.StringIO()
        with redirect_stdout(out), redirect_stderr(err):
            status = layer_check.main(["--src", self.src])
        self.assertEqual(status, 1)
        self.assertEqual(len(out.getvalue().splitlines()), 1)
        self.assertIn("src/app/adduser.cpp:2: calls SaveToBinaryFile", out.getvalue())
        self.assertIn("app -> settings (1)", err.getvalue())


@unittest.skipUnless(shutil.which("cc") and shutil.which("readelf") and shutil.which("nm"),
                     "needs cc, readelf and nm")
class BinaryRules(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tw_layers_bin_")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def cc(self, *args):
        subprocess.run(["cc", *args], cwd=self.dir, check=True, capture_output=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_programs_and_archives(self):
        with open(self.path("gui.c"), "w") as fh:
            fh.write("int paint_window(void) { return 1; }\n")
        with open(self.path("core.c"), "w") as fh:
            fh.write("int count_messages(void) { return 2; }\n")
        with open(self.path("uses_gui.c"), "w") as fh:
            fh.write("int paint_window(void);\nint main(void) { return paint_window(); }\n")
        with open(self.path("uses_core.c"), "w") as fh:
            fh.write("int count_messages(void);\nint main(void) { return count_messages(); }\n")
        self.cc("-shared", "-fPIC", "-o", "libfakegui.so.6", "-Wl,-soname,libfakegui.so.6", "gui.c")
        self.cc("-shared", "-fPIC", "-o", "libfakecore.so.6", "-Wl,-soname,libfakecore.so.6", "core.c")
        self.cc("-o", "with_gui", "uses_gui.c", "libfakegui.so.6")
        self.cc("-o", "without_gui", "uses_core.c", "libfakecore.so.6")
        self.cc("-c", "-o", "uses_gui.o", "uses_gui.c")
        self.cc("-c", "-o", "uses_core.o", "uses_core.c")
        subprocess.run(["ar", "rcs", "libengine_bad.a", "uses_core.o", "uses_gui.o"], cwd=self.dir, check=True)
        subprocess.run(["ar", "rcs", "libengine_good.a", "uses_core.o"], cwd=self.dir, check=True)
        forbid = [self.path("libfakegui.so.6")]

        cases = [
            ("with_gui", [f"{self.path('with_gui')}: needs libfakegui.so.6"]),
            ("without_gui", []),
            ("libengine_bad.a", [f"{self.path('libengine_bad.a')}(uses_gui.o): refers to libfakegui.so.6 (paint_window)"]),
            ("libengine_good.a", []),
            ("missing", [f"{self.path('missing')}: not built"]),
        ]
        for name, expected in cases:
            with self.subTest(binary=name):
                self.assertEqual(layer_check.check_binaries([self.path(name)], forbid), expected)
        with redirect_stdout(io.StringIO()):
            self.assertEqual(layer_check.main(["--binaries", self.path("without_gui"), "--forbid", *forbid]), 0)
            self.assertEqual(layer_check.main(["--binaries", self.path("with_gui"), "--forbid", *forbid]), 1)


if __name__ == "__main__":
    unittest.main()

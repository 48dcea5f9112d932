"""Start-up and command line: help, exit codes, messages, ports, folders, Ctrl+C."""

import os
import socket
import tempfile
import time
import unittest

import harness
from harness import Server, run_exe, free_port

HELP_FIRST_LINES = "\n舟匣 / Skiffbox\n" + "=" * 64 + "\n手机和电脑连同一个 WiFi，双击本文件即可互传文件。\n"


def hold_ports(first, count):
    """Listening sockets on first..first+count-1, as another program would hold them."""
    held = []
    for port in range(first, first + count):
        s = socket.socket()
        s.bind(("0.0.0.0", port))
        s.listen(1)
        held.append(s)
    return held


class CommandLine(unittest.TestCase):
    def test_help_is_written_whole_and_ends_with_code_0(self):
        for args in (["--help"], ["-h"], ["--no-open", "--help", "--bogus"]):
            code, out = run_exe(args)
            self.assertEqual(code, 0, args)
            self.assertTrue(out.startswith(HELP_FIRST_LINES), out)
            self.assertIn("    Skiffbox.exe --inbox D:\\下载   # 换个收件目录\n"
                          "    Skiffbox.exe --pin 1234        # 设访问码（4~12 位字母或数字），输对才能用\n\n（", out)
            self.assertTrue(out.endswith("）\n\n"), repr(out[-20:]))

    def test_unknown_arguments_end_with_code_2(self):
        for args, named in ((["--bogus"], "--bogus"), (["-p"], "-p"), (["--port"], "--port"),
                            (["--ip"], "--ip"), (["--inbox"], "--inbox"), (["--pin"], "--pin"),
                            (["--no-open", "-p", "9000", "x"], "x"), (["--bogus", "--help"], "--bogus")):
            code, out = run_exe(args)
            self.assertEqual(code, 2, args)
            self.assertEqual(out, "未知参数：%s（用 --help 看用法）\n" % named)


class Ports(unittest.TestCase):
    def test_next_port_when_the_first_is_taken(self):
        port = free_port()
        held = hold_ports(port, 1)
        try:
            with Server(port=port) as srv:
                self.assertEqual(srv.request("GET", "/nothing")[0] // 100, 4)
                with socket.create_connection(("127.0.0.1", port + 1), timeout=10):
                    pass
        finally:
            for s in held:
                s.close()

    def test_two_servers_at_once_take_two_ports(self):
        port = free_port()
        with Server(port=port) as first:
            with Server(port=port) as second:
                with socket.create_connection(("127.0.0.1", port + 1), timeout=10):
                    pass
                self.assertEqual(first.port, port)

    def test_all_twenty_ports_taken(self):
        port = free_port()
        held = hold_ports(port, 20)
        try:
            with tempfile.TemporaryDirectory() as tmp:
                code, out = run_exe(["--no-open", "-p", str(port), "--inbox", harness.host_path(tmp)])
            self.assertEqual(code, 1)
            self.assertEqual(out, "\n[!] %d~%d 这些端口都被占用了，换一个：Skiffbox.exe --port 8900\n"
                             % (port, port + 19))
        finally:
            for s in held:
                s.close()


class Folders(unittest.TestCase):
    def test_default_inbox_beside_the_executable_with_state_folder(self):
        with tempfile.TemporaryDirectory() as tmp:
            exe = harness.copy_exe(tmp)
            with Server(exe=exe, use_inbox_arg=False):
                self.assertTrue(os.path.isdir(os.path.join(tmp, "收件箱", ".skiffbox")))

    def test_inbox_option_creates_missing_parents(self):
        with tempfile.TemporaryDirectory() as tmp:
            inbox = os.path.join(tmp, "a", "b", "收")
            with Server(inbox=inbox):
                self.assertTrue(os.path.isdir(os.path.join(inbox, ".skiffbox")))


class Warnings(unittest.TestCase):
    def test_inbox_that_cannot_be_written_warns_and_serves(self):
        with Server() as srv:
            # Answered only once the accept loop runs, after any warning was written.
            self.assertEqual(srv.request("GET", "/api/info")[0], 200)
            self.assertNotIn("收件箱写不进", srv.output())
            # A build inside the temporary folder (a clone there) is warned about, rightly.
            temp = os.path.realpath(tempfile.gettempdir()) + os.sep
            if not os.path.realpath(harness.EXE).startswith(temp):
                self.assertNotIn("临时文件夹", srv.output())
        # Nothing can be created under /proc, not even by root.
        with Server(inbox="/proc/skiffbox-no-inbox") as srv:
            self.assertTrue(srv.wait_output("--inbox D:\\收件箱\n"), srv.output())
            self.assertIn("  [!!] 收件箱写不进文件", srv.output())
            status, _, _ = srv.request("GET", "/api/info")
            self.assertEqual(status, 200)

    @unittest.skipIf(harness.UNDER_WINE, "wine's temporary folder lies inside its prefix")
    def test_executable_in_the_temporary_folder_warns(self):
        with tempfile.TemporaryDirectory() as tmp:
            exe = harness.copy_exe(tmp)
            with Server(exe=exe, use_inbox_arg=False) as srv:
                self.assertTrue(srv.wait_output("收件箱也在里面"), srv.output())
                self.assertIn("  [!!] 程序在临时文件夹里运行", srv.output())


class Stopping(unittest.TestCase):
    @unittest.skipIf(harness.UNDER_WINE, "wine does not turn SIGINT into a console event")
    def test_sigint_writes_the_stopped_line_and_ends_with_0(self):
        with Server() as srv:
            conn = srv.connect()  # an open connection must not delay the stop
            self.assertEqual(srv.interrupt(), 0)
            self.assertTrue(srv.output().endswith("\n  已停止。\n"), repr(srv.output()[-40:]))
            conn.close()


if __name__ == "__main__":
    unittest.main()

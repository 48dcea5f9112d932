"""The console: a console that takes no text (a selection held in a Windows console window, a
paused terminal) never holds up a transfer or the stop; the public-network hint."""

import fcntl
import signal
import re
import time
import unittest

from clients import upload
from harness import Server

# The smallest pipe the system allows: a few dozen upload lines fill it.
PIPE_BYTES = 4096
# Enough upload lines to fill that pipe twice over, yet fewer than the writer queues.
UPLOADS = 150
PUBLIC_HINT = "  [!] 这个网络被 Windows 标成了「公用网络」，防火墙可能挡住手机。\n"


def shrink_console_pipe(srv):
    fcntl.fcntl(srv.proc.stdout.fileno(), fcntl.F_SETPIPE_SZ, PIPE_BYTES)


class BlockedConsole(unittest.TestCase):
    def test_uploads_complete_while_the_console_takes_nothing(self):
        with Server() as srv:
            srv.pause_output()
            shrink_console_pipe(srv)
            for i in range(UPLOADS):
                status, answer = upload(srv, [("f%d.txt" % i, b"x")], timeout=20)
                self.assertEqual(status, 200, (i, answer))
            srv.resume_output()
            last = "  收到 1 个文件  ·  现在 %d 个文件，0.0 MB\n" % UPLOADS
            self.assertTrue(srv.wait_output(last, timeout=30), srv.output()[-300:])
            self.assertEqual(srv.output().count("  收到 1 个文件"), UPLOADS)

    def test_ctrl_c_ends_the_process_promptly_while_the_console_takes_nothing(self):
        with Server() as srv:
            srv.pause_output()
            shrink_console_pipe(srv)
            for i in range(UPLOADS):
                self.assertEqual(upload(srv, [("f%d.txt" % i, b"x")], timeout=20)[0], 200)
            started = time.time()
            srv.proc.send_signal(signal.SIGINT)
            self.assertEqual(srv.proc.wait(timeout=20), 0)
            self.assertLess(time.time() - started, 15)
            srv.resume_output()


class PublicNetworkHint(unittest.TestCase):
    def served_output(self, answer):
        """The console of a server whose network check answers as given, once it has stopped."""
        with Server(["--ip", "192.168.77.5"], env={"SKIFFBOX_TEST_NETWORK": answer}) as srv:
            if answer == "public":
                self.assertTrue(srv.wait_output(PUBLIC_HINT), srv.output())
            self.assertEqual(srv.interrupt(), 0)
            return srv.output()

    def test_hint_follows_the_banner_on_a_public_network_only(self):
        out = self.served_output("public")
        banner_end = out.index("关掉这个窗口（或按 Ctrl+C）就停止服务\n")
        self.assertGreater(out.index(PUBLIC_HINT), banner_end)
        self.assertRegex(out, re.escape(PUBLIC_HINT) + "      手机打不开时：.*专用网络.*\n")
        self.assertNotIn("公用网络", self.served_output("private"))


if __name__ == "__main__":
    unittest.main()

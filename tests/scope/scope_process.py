"""kpxadac-scope as a process for the scope's Python tests: started on
127.0.0.1 with a free port (--port 0, read back from its URL line), stopped
by its pid with SIGINT, and required to end cleanly."""

import os
import re
import signal
import subprocess


class ScopeProcess:
    def __init__(self, server, rack, args):
        env = dict(os.environ, KPXADAC_SIM=rack)
        self.process = subprocess.Popen([server, "--port", "0", *args], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        line = self.process.stdout.readline()  # the URL line, or nothing if it failed
        match = re.search(r"serving .* at http://127\.0\.0\.1:(\d+)/", line)
        if not match:
            self.process.kill()
            raise AssertionError("kpxadac-scope did not start: %r %s" %
                                 (line, self.process.stderr.read()))
        self.port = int(match.group(1))
        self.host = "127.0.0.1:%d" % self.port

    def stop(self):
        os.kill(self.process.pid, signal.SIGINT)
        try:
            code = self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("kpxadac-scope did not stop within 60 s of SIGINT")
        stderr = self.process.stderr.read()
        self.process.stdout.close()
        self.process.stderr.close()
        if code != 0:
            raise AssertionError("kpxadac-scope exited with %d: %s" % (code, stderr))

#!/usr/bin/env python3
"""Rolls firmware out with the lumo3update role and example playbook to a fleet
of eight virtual boards (seven Lumo3, one Mini Lumo), with ansible-playbook
over local connections, and checks the boards' flash and status and the
report: a clean rollout in three waves, a re-run, a rehearsal (--check
--diff) with the role vendored under another name, golden=false given as a
string, a rollout stopped by a failing board, in whose wave boards with bad
input fail too, and one stopped by the pre-flight check.

Usage: rollout_test.py LUMO3_BOARD
"""

import csv
import fcntl
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PLAYBOOK = os.path.join(HERE, "..", "..", "deploy", "ansible", "rollout.yml")
HOSTS = ["b%d" % n for n in range(1, 9)]
MINILUMOS = ("b5", "bad-minilumo")  # b5 in the third wave
RADIO = "b1"  # the Lumo3 board that gets radio firmware too
LUMO3 = [h for h in HOSTS if h not in MINILUMOS]
BAD_BOARDS = ["bad-lumo3", "bad-lumo3-hex", "busy-lumo3", "bad-minilumo"]
LEGACY = "old-lumo3"  # its golden header as an earlier version wrote it
FLASHER_BOARDS = (RADIO, "bad-lumo3-hex")  # the radio's flasher script lies in their firmware directory
ROLE = os.path.join(HERE, "..", "..", "deploy", "ansible", "roles", "lumo3update")
CALLBACKS = os.path.join(HERE, "..", "..", "deploy", "ansible", "callback_plugins")
UPDATE_AREA = 0x400000
IMAGE_BYTES = 64 * 1024
GOLDEN_BYTES = 32 * 1024


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ansible = shutil.which("ansible-playbook")
        if cls.ansible is None:
            raise RuntimeError("ansible-playbook is not installed (Debian's ansible-core)")
        cls.root = tempfile.mkdtemp(prefix="lumo3-fleet-")
        os.makedirs(cls.path("files"))
        os.makedirs(cls.path("boards"))
        cls.tool("make-bitstream", cls.path("files/a.bit"), "--bytes", str(IMAGE_BYTES), "--seed", "1")
        cls.tool("make-bitstream", cls.path("files/b.bit"), "--bytes", str(IMAGE_BYTES), "--seed", "2")
        cls.tool("make-bitstream", cls.path("files/gold.bit"), "--bytes", str(GOLDEN_BYTES), "--seed", "7")
        cls.tool("make-bitstream", cls.path("files/mini.bin"), "--raw", "--bytes", str(IMAGE_BYTES), "--seed", "3")
        cls.tool("make-bitstream", cls.path("files/c.bit"), "--bytes", str(IMAGE_BYTES), "--seed", "4")
        cls.tool("make-hex", cls.path("files/radio.hex"), "--bytes", "16384")
        cls.tool("make-bitstream", cls.path("files/mini2.bin"), "--raw", "--bytes", str(IMAGE_BYTES), "--seed", "5")
        cls.tool("make-hex", cls.path("files/radio2.hex"), "--bytes", "8192")
        package = cls.path("deb")
        os.makedirs(os.path.join(package, "DEBIAN"))
        with open(os.path.join(package, "DEBIAN", "control"), "w") as f:
            f.write("Package: lumo3update\nVersion: 3.0.0~b\nArchitecture: armhf\n"
                    "Maintainer: nobody <nobody@invalid>\nDescription: stand-in\n")
        subprocess.run(["dpkg-deb", "--build", package, cls.path("files/lumo3update_armhf.deb")],
                       check=True, capture_output=True)
        for host in HOSTS + BAD_BOARDS + [LEGACY]:
            os.makedirs(cls.path("fw", host))
            if host in FLASHER_BOARDS:
                open(cls.path("fw", host, "serial_flasher.py"), "w").close()
            cls.tool("create", cls.board(host), "--kind", "minilumo" if host in MINILUMOS else "lumo3")
        for host in LUMO3 + ["bad-lumo3", "bad-lumo3-hex", "busy-lumo3", LEGACY]:
            cls.tool("install-radio-flasher", cls.board(host), cls.path("bin", host))
            work = tempfile.mkdtemp(dir=cls.root)
            shutil.copy(cls.path("files/gold.bit"), work)
            cls.tool("run", cls.board(host), "--", "-wgold", "gold.bit", cwd=work)
        cls.golden = {host: cls.golden_image(host) for host in LUMO3}
        with open(os.path.join(cls.board(LEGACY), "n25q256.img"), "r+b") as f:
            f.seek(0x1008)
            f.write(bytes.fromhex("00001000"))  # WBSTAR: the header itself

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    @classmethod
    def path(cls, *parts):
        return os.path.join(cls.root, *parts)

    @classmethod
    def board(cls, host):
        return cls.path("boards", host)

    @classmethod
    def tool(cls, *args, cwd=None):
        return subprocess.run([BOARD_TOOL, *args], cwd=cwd, check=True, capture_output=True, text=True).stdout

    @classmethod
    def flash(cls, host):
        name = "mx25l3206e.img" if host in MINILUMOS else "n25q256.img"
        with open(os.path.join(cls.board(host), name), "rb") as f:
            return f.read()

    @classmethod
    def golden_image(cls, host):
        """The golden area's header and image."""
        return cls.flash(host)[0x1000:0x1000 + 32 + GOLDEN_BYTES]

    def status(self, host):
        return json.loads(self.tool("status", self.board(host), "--json"))

    def assert_no_violations(self, host):
        """The board's last run broke none of its chips' rules."""
        violations = self.status(host)["violations"]
        self.assertEqual(violations["count"], 0, "%s: %s" % (host, violations["first"]))

    def chips(self, hosts):
        """Digests of every chip image of the boards: flash and radio."""
        return {host: {name: sha256(os.path.join(self.board(host), name))
                       for name in os.listdir(self.board(host)) if name.endswith(".img")}
                for host in hosts}

    def configuration_data(self, seed):
        """The configuration data of make-bitstream's image, as the tool itself gives it."""
        raw = self.path("files", "data-%d.bin" % seed)
        self.tool("make-bitstream", raw, "--raw", "--bytes", str(IMAGE_BYTES), "--seed", str(seed))
        with open(raw, "rb") as f:
            return f.read()

    def host_vars(self, host, image, **overrides):
        variables = {
            "ansible_connection": "local",
            "ansible_python_interpreter": "{{ ansible_playbook_python }}",
            "ansible_become": False,
            "lumo3update_board": "minilumo" if host in MINILUMOS else "lumo3",
            "lumo3update_image": image,
            "lumo3update_install": False,
            "lumo3update_version": "3.0.0~b",
            "lumo3update_package_query": ["echo", "installed", "3.0.0~b"],
            "lumo3update_architecture_query": ["echo", "armhf"],
            "lumo3update_command": [BOARD_TOOL, "run", self.board(host), "--"],
            "lumo3update_firmware_dir": self.path("fw", host),
            "lumo3update_state_dir": self.path("state", host),
        }
        if host not in MINILUMOS:
            # The radio stand-in is found as "python" on the updater's PATH.
            variables["lumo3update_environment"] = {"PATH": "%s:%s" % (self.path("bin", host), os.environ["PATH"])}
            variables["lumo3update_fpga_idcode"] = "0x0362D093"
            variables["lumo3update_settings_file"] = os.path.join(self.board(host), "lumo3update.conf")
        if host == RADIO:
            variables["lumo3update_radio_firmware"] = self.path("files/radio.hex")
        return dict(variables, **overrides)

    def rollout(self, name, hosts, extra_vars=None, options=(), playbook=PLAYBOOK):
        """Runs the playbook on hosts (name -> variables), in this order; returns its exit status and report."""
        run = self.path("runs", name)
        os.makedirs(run, exist_ok=True)
        with open(os.path.join(run, "inventory.yml"), "w") as f:
            json.dump({"lumo3update_boards": {"hosts": hosts}}, f)
        env = dict(os.environ, LC_ALL="C.UTF-8", LUMO3UPDATE_REPORT_DIR=run, ANSIBLE_PIPELINING="1",
                   ANSIBLE_LOCAL_TEMP=run, ANSIBLE_REMOTE_TMP=os.path.join(run, "remote"),
                   ANSIBLE_SSH_CONTROL_PATH_DIR=run, ANSIBLE_CALLBACK_PLUGINS=CALLBACKS)
        command = [self.ansible, "-i", "inventory.yml", playbook, *options]
        if extra_vars:
            command += ["-e", json.dumps(extra_vars)]
        with open(os.path.join(run, "ansible.log"), "w") as log:
            status = subprocess.run(command, cwd=run, env=env, stdout=log, stderr=subprocess.STDOUT).returncode
        with open(os.path.join(run, "ansible.log")) as log:
            print("== run %s: ansible-playbook exited with %d; its last lines:" % (name, status))
            print("".join(log.readlines()[-20:]))
        with open(os.path.join(run, "lumo3update-report.json")) as f:
            report = json.load(f)
        with open(os.path.join(run, "lumo3update-report.csv"), newline="") as f:
            table = list(csv.DictReader(f))
        self.assertEqual([row["host"] for row in report["boards"]], list(hosts))
        self.assertEqual([(row["host"], row["outcome"]) for row in table],
                         [(row["host"], row["outcome"]) for row in report["boards"]])
        with open(os.path.join(run, "ansible.log")) as log:
            self.log = log.read()
        return status, {row["host"]: row for row in report["boards"]}

    def fleet(self, image):
        return {host: self.host_vars(host, self.path("files", "mini.bin" if host in MINILUMOS else image))
                for host in HOSTS}

    def assert_runs_update(self, host, data):
        self.assert_no_violations(host)
        status = self.status(host)
        self.assertEqual((status["fpga"]["loaded"], status["flash"]["switch_word"]), ("update", True), host)
        flash = self.flash(host)
        self.assertEqual(flash[UPDATE_AREA:UPDATE_AREA + len(data)], data, host)
        self.assertEqual(self.golden_image(host), self.golden[host], host)

    def test_rollout(self):
        self.clean_rollout()
        self.rerun()
        self.rehearsal()
        self.golden_false()
        self.stopped_rollout()
        self.preflight()

    def clean_rollout(self):
        status, report = self.rollout("clean", self.fleet("a.bit"))
        self.assertEqual(status, 0)
        self.assertEqual([report[host]["wave"] for host in HOSTS], [1, 2, 2, 3, 3, 3, 3, 3])
        for host in HOSTS:
            row = report[host]
            self.assertEqual((row["outcome"], row["exit_code"]), ("written", 0), host)
            self.assertGreater(row["write_seconds"], 0, host)
            self.assertEqual(row["board"], "minilumo" if host in MINILUMOS else "lumo3")
        data = self.configuration_data(1)
        for host in LUMO3:
            self.assertEqual(report[host]["image_sha256"], sha256(self.path("files/a.bit")))
            self.assert_runs_update(host, data)
            with open(os.path.join(self.board(host), "lumo3update.conf")) as f:
                self.assertEqual(f.read(), "fpga_idcode = 0x0362D093\n", host)
        with open(self.path("files/mini.bin"), "rb") as f:
            mini = f.read()
        self.assertEqual(self.flash("b5")[:len(mini)], mini)
        self.assertTrue(self.status("b5")["flash"]["valid_configuration"])
        self.assert_no_violations("b5")
        self.assertEqual(report["b5"]["image_sha256"], sha256(self.path("files/mini.bin")))
        self.assertEqual(self.status(RADIO)["radio"]["firmware_bytes"], 16384)
        self.assertEqual(report[RADIO]["radio_sha256"], sha256(self.path("files/radio.hex")))
        for host in HOSTS:
            self.assertEqual(os.listdir(self.path("fw", host)), ["serial_flasher.py"] if host == RADIO else [], host)

    def rerun(self):
        """A second run changes nothing: the Lumo3 FPGAs are read back and
        current, the Mini Lumo and the radio are current by the role's record
        of what it applied; lumo3update_force rewrites them."""
        before = self.chips(HOSTS)
        status, report = self.rollout("rerun", self.fleet("a.bit"))
        self.assertEqual(status, 0)
        self.assertEqual({host: report[host]["outcome"] for host in HOSTS}, dict.fromkeys(HOSTS, "already current"))
        self.assertEqual(self.chips(HOSTS), before)
        recap = dict(re.findall(r"^(\S+)\s+: ok=\d+\s+changed=(\d+)", self.log, re.M))
        self.assertEqual(recap, dict.fromkeys(HOSTS, "0"))
        # Given as one string, the waves are one board, then the rest.
        forced = {host: self.fleet("a.bit")[host] for host in ("b5", RADIO)}
        status, report = self.rollout("forced", forced, {"lumo3update_force": True, "lumo3update_waves": "1,100%"})
        self.assertEqual(status, 0)
        self.assertEqual({host: (row["outcome"], row["wave"]) for host, row in report.items()},
                         {"b5": ("written", 1), RADIO: ("written", 2)})
        self.assertTrue(self.status("b5")["flash"]["valid_configuration"])

    def rehearsal(self):
        """--check writes nothing and reports what each board would get,
        --diff shows it; the report comes from the role vendored under another
        name. A board whose package would be installed first is not read back.
        New -wifany firmware is shown against the record of what was applied."""
        run = self.path("runs", "rehearsal")
        os.makedirs(os.path.join(run, "roles"))
        os.symlink(ROLE, os.path.join(run, "roles", "vendored_lumo3"))
        with open(PLAYBOOK) as f, open(os.path.join(run, "rollout.yml"), "w") as vendored:
            vendored.write(f.read().replace("    - lumo3update\n", "    - vendored_lumo3\n"))
        hosts = {"b1": self.host_vars("b1", self.path("files/a.bit"), lumo3update_radio_firmware=self.path("files/radio2.hex")),
                 "b2": self.host_vars("b2", self.path("files/c.bit")),
                 "b5": self.host_vars("b5", self.path("files/mini2.bin")),
                 "b6": self.host_vars("b6", self.path("files/c.bit"), lumo3update_install=True,
                                      lumo3update_version="", lumo3update_package_query=["false"],
                                      lumo3update_debs=[self.path("files/lumo3update_armhf.deb")])}
        before = self.chips(hosts)
        status, report = self.rollout("rehearsal", hosts, options=["--check", "--diff"],
                                      playbook=os.path.join(run, "rollout.yml"))
        self.assertEqual(status, 0)
        self.assertEqual(self.chips(hosts), before)
        self.assertEqual({host: report[host]["outcome"] for host in hosts}, dict.fromkeys(hosts, "would write"))
        self.assertEqual(report["b6"]["reason"], "would install %s first: the board is not read back until then"
                         % self.path("files/lumo3update_armhf.deb"))
        data = self.configuration_data(4)
        for text in ("+++ after: the Lumo3 update area after the rollout", "+image: c.bit",
                     "-update area SHA-1: " + hashlib.sha1(self.flash("b2")[UPDATE_AREA:UPDATE_AREA + len(data)]).hexdigest(),
                     "+++ after: the Lumo3 radio after the rollout", "+firmware: radio2.hex", "+firmware: mini2.bin",
                     "-applied last, SHA-256: " + sha256(self.path("files/mini.bin")),
                     "-applied last, SHA-256: " + sha256(self.path("files/radio.hex"))):
            self.assertIn(text, self.log)

    def golden_false(self):
        """golden=false from the command line is a string, and false."""
        hosts = {host: self.host_vars(host, self.path("files/c.bit")) for host in ("b2", "b3", "b4")}
        status, report = self.rollout("golden-false", hosts, {"lumo3update_waves": [3]},
                                      options=["-e", "lumo3update_golden=false"])
        self.assertEqual(status, 0)
        self.assertEqual({host: report[host]["wave"] for host in hosts}, dict.fromkeys(hosts, 1))
        for host in hosts:
            self.assertEqual(report[host]["outcome"], "written", host)
            self.assert_runs_update(host, self.configuration_data(4))

    def stopped_rollout(self):
        """The first board of the second wave fails to program its update area;
        boards with bad input run in the same wave."""
        first, second = HOSTS[1:3]
        self.tool("fault", self.board(first), "program-fail", str(UPDATE_AREA + 0x100), "16")
        with open(self.path("files/junk.bit"), "w") as f:
            f.write("not a bitstream\n")
        open(self.path("files/empty.bin"), "w").close()
        with open(self.path("files/junk.hex"), "w") as f:
            f.write(":00000001FE\n")  # a wrong checksum, which the radio's flasher refuses
        bad = {
            "refused-bit": self.host_vars("bad-lumo3", self.path("files/junk.bit")),
            "refused-bin": self.host_vars("bad-minilumo", self.path("files/empty.bin")),
            "refused-hex": self.host_vars("bad-lumo3-hex", "", lumo3update_radio_firmware=self.path("files/junk.hex")),
            "busy": self.host_vars("busy-lumo3", self.path("files/b.bit")),
        }
        fleet = self.fleet("b.bit")
        hosts = dict(list(fleet.items())[:3] + list(bad.items()) + list(fleet.items())[3:])
        third_wave = HOSTS[3:]
        before = self.chips(third_wave + BAD_BOARDS)
        # Another updater runs on the busy board all along.
        with open(os.path.join(self.board("busy-lumo3"), "lumo3update.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            lock.write("4242\n")
            lock.flush()
            status, report = self.rollout("stopped", hosts, {"lumo3update_waves": [1, 2 + len(bad), "100%"]})
        self.assertNotEqual(status, 0)

        data = self.configuration_data(2)
        for host in (HOSTS[0], second):
            self.assertEqual(report[host]["outcome"], "written", host)
            self.assert_runs_update(host, data)
        self.assertEqual((report[first]["outcome"], report[first]["exit_code"]), ("failed", 1))
        self.assertTrue(report[first]["output"])
        self.assertIn("exited with 1", report[first]["reason"])
        self.assertEqual(self.status(first)["flash"]["boots_next"], "golden")
        self.assertEqual(self.golden_image(first), self.golden[first])
        for host in third_wave:
            self.assertEqual((report[host]["outcome"], report[host]["board"]),
                             ("not reached", "minilumo" if host in MINILUMOS else "lumo3"), host)
        self.assertEqual(self.chips(third_wave + BAD_BOARDS), before)

        self.assertEqual({host: report[host]["outcome"] for host in bad}, dict.fromkeys(bad, "failed"))
        self.assertEqual(report["busy"]["reason"], "the board is busy: lumo3update is already running (pid 4242)")
        for host in ("refused-bit", "refused-bin"):
            self.assertIn(report[host]["exit_code"], (1, 255), host)
            self.assertTrue(report[host]["output"], host)
        # A Lumo3 -wifany exits with 0; the file it kept tells the failure.
        self.assertEqual(report["refused-hex"]["exit_code"], 0)
        self.assertIn("lumo3update-fleet.hex unapplied", report["refused-hex"]["reason"])
        for host in BAD_BOARDS:
            self.assertEqual(os.listdir(self.path("fw", host)),
                             ["serial_flasher.py"] if host in FLASHER_BOARDS else [], host)

    def preflight(self):
        """Every board is checked before the first wave: one that lacks what
        the rollout needs fails the play, and no board is written."""
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            closed_port = s.getsockname()[1]
        lumo3 = self.path("files/a.bit")
        # An unreachable board first: every other board is still checked.
        hosts = {
            "unreachable": self.host_vars("bad-lumo3", lumo3, ansible_connection="ssh",
                                          ansible_host="127.0.0.1", ansible_port=closed_port),
            "b3": self.host_vars("b3", self.path("files/b.bit")),
            "missing-image": self.host_vars("bad-lumo3", self.path("files/missing.bit")),
            "no-package": self.host_vars("bad-lumo3", lumo3, lumo3update_package_query=[
                "dpkg-query", "--show", "lumo3update-never-installed"]),
            "arm64": self.host_vars("bad-lumo3", lumo3, lumo3update_install=True,
                                    lumo3update_architecture_query=["echo", "arm64"],
                                    lumo3update_debs=[self.path("files/lumo3update_armhf.deb")]),
            "no-flasher": self.host_vars("bad-lumo3", "", lumo3update_radio_firmware=self.path("files/radio.hex")),
            "no-python": self.host_vars("bad-lumo3-hex", "", lumo3update_radio_firmware=self.path("files/radio.hex"),
                                        lumo3update_environment={"PATH": "/nonexistent"}),
            "legacy-golden": self.host_vars(LEGACY, lumo3),
            "bad-idcode": self.host_vars("bad-lumo3", lumo3, lumo3update_fpga_idcode="03631093"),
        }
        before = self.chips(["b3"] + BAD_BOARDS)
        status, report = self.rollout("preflight", hosts)
        self.assertNotEqual(status, 0)
        self.assertEqual(self.chips(["b3"] + BAD_BOARDS), before)
        self.assertEqual((report["b3"]["outcome"], report["b3"]["wave"]), ("not reached", None))
        for host, reason in (("unreachable", "unreachable: "),
                             ("missing-image", "files/missing.bit is not a file on the controller"),
                             ("no-package", "lumo3update is not installed"),
                             ("arm64", "no lumo3update package for the board's architecture arm64 among "),
                             ("no-flasher", "the radio firmware cannot be applied: no serial_flasher.py in "),
                             ("no-python", "the radio firmware cannot be applied: no python on the updater's PATH"),
                             ("legacy-golden", "the golden header at 0x001000 is an earlier version's, which boots "
                              "the golden image, never an update: write the golden image first"),
                             ("bad-idcode", "lumo3update_fpga_idcode 03631093 is no IDCODE")):
            self.assertEqual(report[host]["outcome"], "failed", host)
            self.assertIn(reason, report[host]["reason"], host)

        # Waves that are no waves stop the rollout in the pre-flight, with the
        # value named; the report is this run's, not the last one's.
        before = self.chips(["b3"])
        status, report = self.rollout("bad-waves", {"b3": hosts["b3"]}, {"lumo3update_waves": "1,all"})
        self.assertNotEqual(status, 0)
        self.assertEqual(report["b3"]["outcome"], "failed")
        self.assertIn('lumo3update_waves "1,all" is no list of waves', report["b3"]["reason"])
        self.assertEqual(self.chips(["b3"]), before)


if __name__ == "__main__":
    BOARD_TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main()

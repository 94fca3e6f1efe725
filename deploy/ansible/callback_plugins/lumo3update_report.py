"""The rollout report of the lumo3update role: one row per board."""

import contextlib
import csv
import datetime
import json
import os

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = """
    name: lumo3update_report
    type: notification
    short_description: Writes the report of a lumo3update rollout
    description:
      - At the end of every playbook that runs the lumo3update role (under any name), writes lumo3update-report.json
        and lumo3update-report.csv with one row per board that the role's plays target, in inventory
        order, also when the rollout stopped.
      - A row holds the host, the wave it ran in (counted from 1), its board, its files with their
        SHA-256, the outcome (written, already current, would write in a rehearsal with --check, failed,
        not reached), the exit code and last
        output lines of the updater's last write or failed run, the seconds that the writes took, and
        why a board failed.
    options:
      report_dir:
        description: The directory that receives the report.
        type: path
        default: .
        env:
          - name: LUMO3UPDATE_REPORT_DIR
        ini:
          - section: callback_lumo3update_report
            key: report_dir
"""

# A play runs the role when its variables hold the role's own defaults: a
# role vendored under another directory name is found too. The pre-flight
# play is no wave.
ROLE_VARIABLE = "lumo3update_command"
COLUMNS = ["host", "wave", "board", "image", "image_sha256", "radio_firmware", "radio_sha256",
           "outcome", "exit_code", "output", "write_seconds", "reason"]


def _now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "notification"
    CALLBACK_NAME = "lumo3update_report"
    # Found next to the playbook, it reports without further set-up; plays
    # that do not run the role leave it silent.
    CALLBACK_NEEDS_ENABLED = False

    def __init__(self):
        super().__init__()
        self._plays = {}  # host name -> (the play's hostvars, the role's defaults)
        self._rows = {}
        self._waves = {}

    def v2_playbook_on_play_start(self, play):
        variables = play.get_variable_manager().get_vars(play=play)
        if ROLE_VARIABLE not in variables:
            return
        if not self._plays:
            self._start_report()
        for host in variables["ansible_play_hosts_all"]:
            self._plays.setdefault(host, (variables["hostvars"], variables))
        if variables.get("lumo3update_stage") == "preflight":
            return
        # Called once per wave, with the inventory restricted to the wave.
        wave = len(set(self._waves.values())) + 1
        for host in variables["ansible_play_batch"]:
            self._waves[host] = wave

    def v2_runner_on_ok(self, result):
        row = result._result.get("ansible_facts", {}).get("lumo3update_row")
        if row is not None:
            host = result._host.get_name()
            self._rows[host] = dict(row, wave=self._waves.get(host))

    def v2_runner_on_failed(self, result, ignore_errors=False):
        if not ignore_errors:
            self._fail(result._host.get_name(), result._result.get("msg", result._task.get_name()))

    def v2_runner_on_unreachable(self, result):
        self._fail(result._host.get_name(), "unreachable: %s" % result._result.get("msg", ""))

    def _fail(self, host, reason):
        row = self._rows.get(host)
        if host in self._plays and (row is None or row["outcome"] != "failed"):
            self._rows[host] = dict(row or self._unreached(host), outcome="failed", reason=reason)

    def _unreached(self, host):
        hostvars, defaults = self._plays[host]
        row = dict.fromkeys(COLUMNS, "")
        for name in ("board", "image", "radio_firmware"):
            variable = "lumo3update_" + name
            row[name] = hostvars[host].get(variable, defaults.get(variable))
        row.update(host=host, wave=self._waves.get(host), outcome="not reached", exit_code=None, output=[],
                   write_seconds=None, reason="the rollout stopped before this board's wave")
        return row

    # The previous run's report goes as this run starts: a run that ends
    # without its report (an error of Ansible's own, an interrupt) leaves one
    # that says so, never the last run's rows looking current.
    def _start_report(self):
        directory = self.get_option("report_dir")
        os.makedirs(directory, exist_ok=True)
        for name in ("lumo3update-report.json", "lumo3update-report.csv"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(directory, name))
        with open(os.path.join(directory, "lumo3update-report.json"), "w", encoding="utf-8") as f:
            json.dump({"started": _now(), "finished": None,
                       "summary": {"unfinished": "the run did not end; the boards' state is unknown"},
                       "boards": []}, f, indent=2)
            f.write("\n")

    def v2_playbook_on_stats(self, stats):
        if not self._plays:
            return
        # A board that the rollout stopped before (its wave's play ended at
        # the pre-task) ran in no wave.
        rows = [self._rows.get(host) or dict(self._unreached(host), wave=None) for host in self._plays]
        summary = {}
        for row in rows:
            summary[row["outcome"]] = summary.get(row["outcome"], 0) + 1
        directory = self.get_option("report_dir")
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, "lumo3update-report.json"), "w", encoding="utf-8") as f:
            json.dump({"finished": _now(),
                       "summary": summary, "boards": [{c: row.get(c) for c in COLUMNS} for row in rows]},
                      f, indent=2)
            f.write("\n")
        with open(os.path.join(directory, "lumo3update-report.csv"), "w", encoding="utf-8", newline="") as f:
            table = csv.writer(f)
            table.writerow(COLUMNS)
            for row in rows:
                table.writerow(["\n".join(row[c]) if c == "output" else
                                "" if row.get(c) is None else row.get(c) for c in COLUMNS])


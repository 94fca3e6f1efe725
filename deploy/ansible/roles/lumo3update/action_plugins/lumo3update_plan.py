"""Reports what a board would get, as a change with a diff: --diff shows the
board's firmware before and after, --check reports it without a write."""

from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("what", "before", "after"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        what = self._task.args["what"]
        result.update(changed=True, msg="would write " + what, diff={
            "before_header": what + " on the board",
            "after_header": what + " after the rollout",
            "before": self._task.args["before"].rstrip("\n") + "\n",
            "after": self._task.args["after"].rstrip("\n") + "\n",
        })
        return result

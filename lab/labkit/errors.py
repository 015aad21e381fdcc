"""The lab's one error: what the command line reports as "lab: MESSAGE" with status 1."""


class LabError(Exception):
    pass


def fail(message):
    raise LabError(message)

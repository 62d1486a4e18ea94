"""Stand-ins shared by the tests."""


class Spawn:
    """A spawn that records what the senders send through it."""

    def __init__(self):
        self.calls = []

    def send(self, value):
        self.calls.append(("send", value))

    def sendline(self, value):
        self.calls.append(("sendline", value))

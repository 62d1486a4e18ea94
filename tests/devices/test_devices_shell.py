"""The shell platform against OpenSSH's sshd and a bash login shell, with
the terminal escapes of an xterm: titles, bracketed paste, colours."""

import re

import pytest

from tavrel.core.errors import CommandTimeoutError, ModeError
from tavrel.devices import POSIX_SHELL, Device, Mode, Move, platform_from_yaml
from tavrel.utils import to_plaintext

pytest.importorskip("asyncssh")

from tavrel.sessions import SSHSession  # noqa: E402


@pytest.fixture
def shell(sshd_server, login_user):
    with SSHSession("127.0.0.1", sshd_server.port,
                    username=login_user["username"],
                    password=login_user["password"],
                    known_hosts=sshd_server.known_hosts,
                    term_type="xterm") as session:
        yield Device(session, POSIX_SHELL, timeout=10).open()


def test_commands_in_a_bash_login_shell(shell, login_user):
    assert shell.mode == "shell" and shell.prompt.endswith("$")
    assert shell.send_command("whoami") == login_user["username"]
    # Colours and a title set by the command itself come out plain.
    assert shell.send_command(
        r"printf '\033]0;title\007\033[1;31mred\033[0m\r\nnext\n'") == (
        "red\nnext")
    assert shell.send_command("seq 1 3000 | tail -n 2") == "2999\n3000"
    # Longer than the terminal is wide: the echo wrapped at the margin (a
    # second wrap redraws the line), whatever the length.
    for words in ["x" * n for n in range(52, 260)] + ["a b " * 40]:
        assert shell.send_command("echo " + words) == words.strip()
    # Output that ends in "#" or "$ " for a moment is not a prompt.
    assert shell.send_command(
        "for i in 1 2 3; do printf '#'; sleep 0.2; done; printf '\\n$ ';"
        " sleep 0.2; echo done") == "###\n$ done"
    assert shell.mode == "shell"
    # Bytes that are not UTF-8 (a Latin-1 file) come out replaced.
    assert shell.send_command(r"printf 'caf\351\n'") == "caf\ufffd"
    assert shell.send_command("nosuchcommand-x").endswith(
        "command not found")



def test_a_pager_that_never_moves_on_runs_out_of_time(sshd_server,
                                                      login_user):
    # less at its end shows "(END)" again for every answer.
    stuck = POSIX_SHELL.derive("stuck", pager=r"\(END\)$")
    with SSHSession("127.0.0.1", sshd_server.port,
                    username=login_user["username"],
                    password=login_user["password"],
                    known_hosts=sshd_server.known_hosts) as session:
        device = Device(session, stuck, timeout=10).open()
        with pytest.raises(CommandTimeoutError) as caught:
            device.send_command("seq 1 5 | less", timeout=1)
        assert caught.value.timeout == 1
        assert caught.value.command == "seq 1 5 | less"


def test_a_prompt_that_never_comes_back_times_out_masked(shell, login_user):
    password = to_plaintext(login_user["password"])
    with pytest.raises(CommandTimeoutError) as caught:
        shell.send_command("read -r -p 'go on? ' x", timeout=0.5)
    assert caught.value.tail.endswith("go on? ")
    assert password not in str(caught.value)


def test_a_platform_of_ones_own_from_yaml(sshd_server, login_user):
    pytest.importorskip("yaml")
    platform = platform_from_yaml(r"""
name: fenced_shell
derive: posix_shell
modes:
  # The login shell's prompt, then the one the paging-off step sets.
  shell: '(?:\$|fenced>) $'
paging_off: ["PS1='fenced> '"]
""")
    with SSHSession("127.0.0.1", sshd_server.port,
                    username=login_user["username"],
                    password=login_user["password"],
                    known_hosts=sshd_server.known_hosts) as session:
        device = Device(session, platform, timeout=10).open()
        assert device.send_command("echo $((6*7))") == "42"
        assert device.prompt == "fenced>"


def test_su_refused_keeps_the_shell(shell):
    # root's password is not ours to know: a wrong one is refused by su,
    # and the device stays in its mode.
    shell.context["credentials"] = {"root": {"password": "not-root's"}}
    with pytest.raises(ModeError, match="'su' was refused") as caught:
        shell.enter("root")
    assert caught.value.mode == "root" and shell.mode == "shell"
    assert shell.send_command("echo still") == "still"


@pytest.mark.slow
def test_su_with_the_password_and_back(shell, su_user):
    # The shell's privilege step, aimed at a second user instead of root
    # (whose password is not the tests' to set): su's own dialog, the
    # password from the credentials.  That user's prompt is told apart by
    # its name; it has no host part, so the learned host name of the
    # first user's prompt cannot be taken for it.
    name = su_user["username"]
    su = POSIX_SHELL.path("shell", "root")[0]
    platform = POSIX_SHELL.derive(
        "two_users",
        modes=(Mode("other",
                    r"(?<!\S)%s@[^\s$#]{0,128}\$ ?$" % re.escape(name)),)
        + POSIX_SHELL.modes,
        moves=(Move("shell", "other", "su - " + name, su.dialog),
               Move("other", "shell", "exit")))
    device = Device(shell.session, platform,
                    credentials={"root": su_user}, timeout=10).open()
    assert device.mode == "shell"
    device.enter("other")
    assert device.send_command("whoami") == name
    device.enter("shell")
    assert device.send_command("whoami") != name
    device.context["credentials"] = {"root": {"password": "not-it"}}
    with pytest.raises(ModeError, match="was refused"):
        device.enter("other")
    assert device.mode == "shell"

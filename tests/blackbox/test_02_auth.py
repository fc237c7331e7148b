"""The host's user list: refusals at start, and the credential check at CONNECT."""
import socket

import pytest

from bvlib import free_port
from mqttpkt import RawPeer, connack, gen_connect

NOT_JSON = "auth_json is not valid JSON; refusing to start an unauthenticated broker"
BAD_SHAPE = ('auth_json must be an array of users or {"users":[...]}; '
             "refusing to start an unauthenticated broker")
NO_USERS = ('auth_json contains no valid users (each needs a "username"); '
            "refusing to start an unauthenticated broker")


@pytest.mark.parametrize("auth_json, message", [
    ("{", NOT_JSON),
    ("[1,]", NOT_JSON),                       # trailing comma
    ('[{"username":"a"}] // c', NOT_JSON),    # comment
    ("\ufeff[]", NOT_JSON),                   # byte order mark
    ('[{"username":"\xff"}]'.encode("latin-1"), NOT_JSON),  # not UTF-8
    ("null", BAD_SHAPE),
    ('"users"', BAD_SHAPE),
    ("42", BAD_SHAPE),
    ("{}", BAD_SHAPE),
    ('{"users":{}}', BAD_SHAPE),
    ('{"other":[]}', BAD_SHAPE),
    ('[{"password":"p"}, 5]', NO_USERS),
    ('[{}, [], "a", {"username":5}, {"username":null}]', NO_USERS),
    ('{"users":[{"user":"a"}]}', NO_USERS),
])
def test_user_list_refusals(loader, auth_json, message):
    lib = loader.load()
    port = free_port()
    assert lib.start(port, auth=auth_json) == -1
    assert lib.last_error() == message
    assert lib.status() == 0
    with pytest.raises(OSError):  # no listener left open
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
    # The refused list is gone: the next start with a good one works.
    loader.start(lib, auth='[{"username":"ok"}]')
    with RawPeer(lib.port) as p:
        p.handshake("c", username="ok")


@pytest.mark.parametrize("auth_json", [None, "", "[]", '{"users":[]}'])
def test_no_user_list_lets_everyone_in(loader, auth_json):
    lib = loader.start(auth=auth_json)
    with RawPeer(lib.port) as p:
        p.handshake("anon")
    with RawPeer(lib.port) as p:
        p.handshake("cred", username="x", password="y")


LONG = "L" * 200

# (user list, user name sent, password sent, accepted)
CREDENTIAL_CASES = {
    "match": ('[{"username":"u","password":"p"}]', "u", "p", True),
    "wrong password": ('[{"username":"u","password":"p"}]', "u", "q", False),
    "case matters": ('[{"username":"u","password":"p"}]', "U", "p", False),
    "no credentials": ('[{"username":"u","password":"p"}]', None, None, False),
    "no password member, none sent": ('[{"username":"a"}]', "a", None, True),
    "no password member, empty sent": ('[{"username":"a"}]', "a", "", True),
    "no password member, one sent": ('[{"username":"a"}]', "a", "x", False),
    "numeric password ignored": ('[{"username":"n","password":7}]', "n", None, True),
    "numeric password not text": ('[{"username":"n","password":7}]', "n", "7", False),
    "empty user name entry": ('[{"username":""}]', None, None, True),
    "either of two passwords": ('[{"username":"d","password":"1"},{"username":"d","password":"2"}]',
                                "d", "2", True),
    "first member counts": ('[{"username":"f","password":"1","password":"2"}]', "f", "1", True),
    "first member counts, second refused": ('[{"username":"f","password":"1","password":"2"}]',
                                            "f", "2", False),
    "user name cut at 127": ('[{"username":"%s"}]' % LONG, LONG[:127] + "tail", None, True),
    "other members ignored": ('{"x":1,"users":[{"username":"o","role":"r"}]}', "o", None, True),
}


@pytest.mark.parametrize("level", [4, 5])
@pytest.mark.parametrize("case", list(CREDENTIAL_CASES))
def test_credential_check_at_connect(loader, case, level):
    auth_json, user, password, accepted = CREDENTIAL_CASES[case]
    lib = loader.start(auth=auth_json)
    with RawPeer(lib.port) as p:
        p.send(gen_connect("c", level=level, username=user, password=password,
                           will=("will/refused", b"w", 1, True)))
        if accepted:
            p.expect(connack(level))
            p.expect_silence(0.1)
        else:
            p.expect(connack(level, rc=0x86 if level == 5 else 0x05))
            p.expect_closed()
    if not accepted:
        # The refused connection's will is disarmed: not routed, stored or logged.
        assert lib.poll_text() == "[]"
        assert lib.stats()["retained_count"] == 0

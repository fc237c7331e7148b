"""Keep-alive as a client sees it. The broker reads the monotonic clock in
whole seconds; Python's time.monotonic() reads the same clock, so a test can
place its silences relative to the broker's second boundaries."""
import math
import time

import pytest

from mqttpkt import PINGREQ, PINGRESP, RawPeer, wait_until


def sleep_until_fraction(frac):
    """Sleeps to the next moment whose monotonic fraction of a second is frac;
    returns that moment."""
    now = time.monotonic()
    target = math.floor(now) + frac
    if target <= now + 0.05:
        target += 1
    time.sleep(target - time.monotonic())
    return target


@pytest.mark.parametrize("level", [4, 5])
def test_silent_client_is_closed_and_its_will_published(broker, level):
    with RawPeer(broker.port) as p:
        p.handshake("quiet", level=level, keepalive=1, will=("will/quiet", b"timeout", 0, False))
        start = time.monotonic()
        p.expect_closed(timeout=4)
        # Closed after more than one and a half seconds of silence, within about two.
        assert 1.5 <= time.monotonic() - start < 2.5
    wait_until(lambda: [e["topic"] for e in broker.poll()] == ["will/quiet"], what="the will")


def test_keepalive_1_tolerates_a_silence_shorter_than_one_and_a_half_seconds(broker):
    with RawPeer(broker.port) as p:
        p.handshake("pinger", keepalive=1)
        # Last activity at second N + 0.90, next packet at N + 2.05: 1.15 s of
        # silence, less than the 1.5 s that keep-alive 1 allows.
        t = sleep_until_fraction(0.90)
        p.send_expect(PINGREQ, PINGRESP)
        time.sleep(max(0.0, t + 1.15 - time.monotonic()))
        p.send_expect(PINGREQ, PINGRESP, timeout=1)

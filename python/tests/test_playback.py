"""Board.play and kpxadac.waveforms: what a DAC board plays is what its output
file records, the places of its underruns, and the generator through the
library."""

import hashlib
import os
import tempfile

import numpy as np
import pytest

import kpxadac
from kpxadac import waveforms
from kpxadac._binding import lib as real_lib

from conftest import ramp

# The same path in the parent pytest process and in the one a rack marker
# starts (a relative path would land in the source tree).
_TAG = hashlib.sha1(os.path.abspath(__file__).encode()).hexdigest()[:12]
PLAYED = os.path.join(tempfile.gettempdir(), f"kpxadac-play-{_TAG}.raw")
DAC = {"boards": [{"device": 0, "board_id": "0x86", "output_file": PLAYED}]}


def played():
    return np.fromfile(PLAYED, dtype="<i2")


@pytest.fixture
def fresh_output():
    if os.path.exists(PLAYED):
        os.remove(PLAYED)
    yield
    if os.path.exists(PLAYED):
        os.remove(PLAYED)


@pytest.mark.rack(DAC)
def test_play_once_then_a_loop_until_stopped(fresh_output):
    with kpxadac.Rack() as rack:
        dac = rack.dac(0)
        once = ramp(0, 100001)
        with dac.play(once, block_samples=4096) as playing:
            assert playing.wait(timeout=30)
            assert playing.samples_played == 100002  # an odd count ends with one 0
        assert np.array_equal(played(), np.append(once, np.int16(0)))

        os.truncate(PLAYED, 0)  # the board appends to it, now from 0
        cycle = waveforms.tone(1001, frequency=1.05e6, amplitude=-3)  # odd: pairs span cycles
        with dac.play(cycle, loop=True, block_samples=4096) as playing:
            while playing.samples_played < 200000:
                assert playing.running
                playing.wait(timeout=0.01)
        recorded = played()
        assert len(recorded) == playing.samples_played >= 200000
        assert np.array_equal(recorded, np.resize(cycle, len(recorded)))
        assert playing.underruns == []


@pytest.mark.rack({"boards": [{"device": 0, "board_id": "0x86", "faults": [
    {"op": "write", "skip": 3, "count": 1, "tx_underrun": 5}]}]})
def test_underruns_are_placed_before_the_block_after_which_the_board_counted_them():
    with kpxadac.Rack() as rack:
        with rack.dac(0).play(ramp(0, 40960), block_samples=4096) as playing:
            assert playing.wait(timeout=30)
        # 5 words missed, seen after the fourth write: before its samples.
        assert playing.underruns == [kpxadac.Underrun(3 * 4096, 10)]


def test_waveforms_come_from_the_library_generator():
    rate = 105e6
    tone = waveforms.tone(65536, rate=rate, frequency=5.1e6, amplitude=-6)
    spectrum = np.abs(np.fft.rfft(tone * np.blackman(tone.size)))
    assert abs(np.argmax(spectrum) * rate / tone.size - 5.1e6) < rate / tone.size
    assert abs(tone.max() - 32767 * 10 ** (-6 / 20)) <= 1.0

    # Block by block, or after a seek, the samples of one run.
    generator = waveforms.Generator("chirp", rate=rate, start=1e6, stop=30e6,
                                    sweep_time=1e-4, noise=2, seed=5)
    whole = generator.take(30000)
    generator.seek(0)
    pieces = np.concatenate([generator.take(n) for n in (1, 999, 10007, 18993)])
    assert np.array_equal(pieces, whole)
    generator.seek(12345)
    assert np.array_equal(generator.take(100), whole[12345:12445])
    assert generator.position == 12445

    assert np.array_equal(waveforms.ramp(70000).view(np.uint16), np.arange(70000) % 65536)
    pulses = waveforms.pulse(10000, width=10, interval=(40, 60), baseline=-9)
    starts = np.flatnonzero((pulses[1:] != -9) & (pulses[:-1] == -9)) + 1
    assert 40 <= np.diff(starts).min() and np.diff(starts).max() <= 60


class _Recorder:
    """Stands for the library: any call is recorded."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        # The default rate is the library's answer to a query, not a use of
        # the arguments: it goes through.
        if name == "KpxBoard_SynthesizerRateHz":
            return real_lib.KpxBoard_SynthesizerRateHz
        return lambda *args: self.calls.append(name)


@pytest.mark.parametrize("call, exception", [
    (lambda: waveforms.tone(100, amplitude=0.5), ValueError),
    (lambda: waveforms.tone(100, frequency=-1.0), ValueError),  # the limit above: the library's
    (lambda: waveforms.tone(-1), OverflowError),
    (lambda: waveforms.tone(100, harmonics={7: -60}), ValueError),
    (lambda: waveforms.multitone(100, frequencies=[]), ValueError),
    (lambda: waveforms.chirp(100, stop=float("nan")), ValueError),
    (lambda: waveforms.square(100, duty=1.5), ValueError),
    (lambda: waveforms.pulse(100, width=10, period=10), ValueError),
    (lambda: waveforms.noise(100, amplitude="loud"), TypeError),
    (lambda: waveforms.Generator("triangle"), ValueError),
    (lambda: waveforms.Generator("ramp", amplitude=-3), TypeError),
])
def test_bad_waveform_arguments_raise_before_any_library_call(monkeypatch, call, exception):
    recorder = _Recorder()
    monkeypatch.setattr(waveforms, "lib", recorder)
    with pytest.raises(exception):
        call()
    assert recorder.calls == []

"""kpxadac.sigmf.load over generated and mutated recordings (hypothesis): no crash and no
hang, every bad file a SigMFError, and the rule for gaps and the described samples held.
Bounded: a fixed number of examples, no example database."""

import json
import os
import tempfile
import warnings

import pytest

hypothesis = pytest.importorskip("hypothesis", reason="python3-hypothesis is not installed")
from hypothesis import HealthCheck, example, given, settings, strategies as st  # noqa: E402

from kpxadac import sigmf  # noqa: E402

BOUNDED = settings(max_examples=300, deadline=None, database=None,
                   suppress_health_check=[HealthCheck.too_slow])

GOOD = {"global": {"core:datatype": "ri16_le", "core:version": "1.2.6", "core:sample_rate": 1e6,
                   "kpxadac:sample_count": 100, "kpxadac:state": "recording"},
        "captures": [{"core:sample_start": 0, "core:global_index": 0},
                     {"core:sample_start": 50, "core:global_index": 60}],
        "annotations": [{"core:sample_start": 50, "core:sample_count": 0,
                         "core:label": "overrun", "core:comment": "10 samples lost"}]}

json_values = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-2**70, max_value=2**70)
    | st.floats(allow_nan=True) | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner,
                                                                 max_size=4),
    max_leaves=12)

# Where a mutation lands: the whole document, the global object, a key of it, the
# captures, one capture's keys, the annotations.
places = st.sampled_from([(), ("global",), ("global", "core:datatype"),
                          ("global", "core:sample_rate"), ("global", "kpxadac:sample_count"),
                          ("global", "core:num_channels"), ("captures",), ("captures", 1),
                          ("captures", 1, "core:sample_start"),
                          ("captures", 1, "core:global_index"), ("annotations",),
                          ("annotations", 0, "core:sample_start")])


def _write(folder, meta_text, data_bytes):
    base = os.path.join(folder, "rec")
    with open(base + ".sigmf-meta", "w", encoding="utf-8") as meta:
        meta.write(meta_text)
    with open(base + ".sigmf-data", "wb") as data:
        data.write(b"\x01\x02" * (data_bytes // 2) + b"\x03" * (data_bytes % 2))
    return base


def _load_quietly(base):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sigmf.SigMFWarning)
        return sigmf.load(base)


def _mutate(document, place, value):
    if not place:
        return value
    target = document
    for step in place[:-1]:
        target = target[step]
    target[place[-1]] = value
    return document


@BOUNDED
@given(place=places, value=json_values, data_bytes=st.integers(0, 400))
@example(place=("captures", 1, "core:global_index"), value=True, data_bytes=200)
@example(place=("global", "core:sample_rate"), value=float("nan"), data_bytes=200)
@example(place=("global", "core:num_channels"), value=True, data_bytes=200)
def test_mutated_metadata_loads_or_is_refused_clearly(place, value, data_bytes):
    document = _mutate(json.loads(json.dumps(GOOD)), place, value)
    with tempfile.TemporaryDirectory() as folder:
        base = _write(folder, json.dumps(document), data_bytes)
        try:
            recording = _load_quietly(base)
        except sigmf.SigMFError:
            return
        assert 2 * len(recording.samples) + recording.ignored_bytes == data_bytes
        assert all(gap.lost > 0 for gap in recording.gaps)
        assert all(gap.sample_start <= len(recording.samples) for gap in recording.gaps)


@BOUNDED
@given(text=st.text(max_size=200) | st.binary(max_size=200).map(
    lambda raw: raw.decode("latin-1")))
@example(text='{"global": ' + "[" * 5000 + "]" * 5000 + "}")
@example(text="\ud800")
def test_any_text_loads_or_is_refused_clearly(text):
    with tempfile.TemporaryDirectory() as folder:
        base = os.path.join(folder, "rec")
        with open(base + ".sigmf-meta", "wb") as meta:
            meta.write(text.encode("utf-8", "surrogatepass"))
        open(base + ".sigmf-data", "wb").close()
        try:
            _load_quietly(base)
        except sigmf.SigMFError:
            pass


# Segments as (samples since the previous segment, samples lost before it).
segments = st.lists(st.tuples(st.integers(0, 50), st.integers(0, 5)), max_size=8)


@BOUNDED
@given(first_lost=st.integers(0, 5), later=segments, extra_bytes=st.integers(0, 7),
       described=st.booleans())
def test_gaps_are_the_jumps_of_the_global_index(first_lost, later, extra_bytes, described):
    captures = [{"core:sample_start": 0, "core:global_index": first_lost}]
    expected = [(0, first_lost, first_lost)] if first_lost else []
    start, index = 0, first_lost
    for advance, lost in later:
        start, index = start + advance, index + advance + lost
        captures.append({"core:sample_start": start, "core:global_index": index})
        if lost:
            expected.append((start, index, lost))
    samples = start + 10
    meta = {"global": {"core:datatype": "ri16_le", "core:sample_rate": 1e3}, "captures": captures}
    if described:
        meta["global"]["kpxadac:sample_count"] = samples
    with tempfile.TemporaryDirectory() as folder:
        base = _write(folder, json.dumps(meta), 2 * samples + (extra_bytes if described else 0))
        recording = _load_quietly(base)
    # Segments at one sample start (an advance of 0) merge their losses into one gap.
    merged = {}
    for gap_start, gap_index, lost in expected:
        merged.setdefault(gap_start, [gap_start, 0, 0])
        merged[gap_start][1:] = [gap_index, merged[gap_start][2] + lost]
    assert [tuple(gap) for gap in recording.gaps] == [tuple(g) for g in merged.values()]
    assert len(recording.samples) == samples
    assert recording.ignored_bytes == (extra_bytes if described else 0)

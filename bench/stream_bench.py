#!/usr/bin/env python3
"""Long runs of the real helper over the LibriVox clips of pocketsphinx-testdata.

  flood: two sources, an hour of speech each, sent as fast as the pipe takes
         it. The engine cannot keep up, so the bounded queue drops the oldest
         chunks; the run checks that nothing crashes, that transcripts still
         arrive for the audio that was kept, and that memory stays bounded.
  soak:  two sources paced in real time for a while (10 minutes by default);
         RSS is sampled every few seconds and its growth per hour reported.

Run from the repository after scripts/setup:  bench/flood [MINUTES]  or
bench/soak [MINUTES].
"""

import base64
import glob
import json
import os
import subprocess
import sys
import threading
import time
import wave

HELPER = os.path.join(os.path.dirname(__file__), "..", "build", "veskar-speech-helper")
CLIPS = "/usr/share/pocketsphinx/test/data/librivox/*.wav"
CHUNK_FRAMES = 1600  # 100 ms


def speech_pcm():
    """The clips, each with a second of silence after it, as one PCM string."""
    pcm = b""
    for path in sorted(glob.glob(CLIPS)):
        with wave.open(path) as w:
            assert w.getframerate() == 16000 and w.getnchannels() == 1 and w.getsampwidth() == 2
            pcm += w.readframes(w.getnframes()) + b"\0\0" * 16000
    if not pcm:
        sys.exit("no LibriVox clips: install pocketsphinx-testdata (scripts/setup does)")
    return pcm


def audio_lines(pcm, source, seconds):
    """Lines carrying `seconds` of audio for `source`, the speech repeated."""
    chunk_bytes = CHUNK_FRAMES * 2
    chunks = [pcm[i:i + chunk_bytes] for i in range(0, len(pcm) - chunk_bytes + 1, chunk_bytes)]
    count = int(seconds * 16000 / CHUNK_FRAMES)
    encoded = [base64.b64encode(c).decode() for c in chunks]
    for n in range(count):
        yield ('{"type":"audio","source_id":%d,"sequence":%d,"pcm_base64":"%s"}\n'
               % (source, n, encoded[n % len(encoded)])).encode()


def rss_kb(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class Reader(threading.Thread):
    """Collects the helper's stdout lines and checks that each is whole JSON."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream = stream
        self.events = []
        self.bad_lines = 0
        self.first_final_at = None

    def run(self):
        for raw in self.stream:
            try:
                event = json.loads(raw)
            except ValueError:
                self.bad_lines += 1
                continue
            event["_at"] = time.monotonic()
            self.events.append(event)


def start_helper():
    helper = subprocess.Popen([HELPER, "--locale", "en_US", "--sources", "0,1"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader = Reader(helper.stdout)
    reader.start()
    return helper, reader


def summarize(reader, helper, started):
    upserts = [e for e in reader.events if e.get("type") == "transcript.upsert"]
    finals = [e for e in upserts if e["is_final"]]
    errors = [e for e in reader.events if e.get("type") == "stream.error"]
    covered = {0: 0, 1: 0}
    for e in finals:
        covered[e["source_id"]] += max(0, e["end_ms"] - e["start_ms"])
    last = reader.events[-1]["type"] if reader.events else None
    return {
        "wall_s": round(time.monotonic() - started, 1),
        "exit_status": helper.returncode,
        "stderr_bytes": len(helper.stderr.read()),
        "torn_or_bad_lines": reader.bad_lines,
        "upserts": len(upserts),
        "finals": len(finals),
        "errors": len(errors),
        # Timeline spanned by the finals; an utterance that runs across audio
        # dropped from a full queue spans the gap too.
        "timeline_spanned_by_finals_s": {s: round(v / 1000, 1) for s, v in covered.items()},
        "last_event": last,
    }


def flood(minutes):
    pcm = speech_pcm()
    helper, reader = start_helper()
    started = time.monotonic()
    peak = 0
    sent_lines = 0
    sources = [audio_lines(pcm, 0, minutes * 60), audio_lines(pcm, 1, minutes * 60)]
    batch = []
    done = [False, False]
    while not all(done):
        for i, lines in enumerate(sources):
            if done[i]:
                continue
            try:
                for _ in range(50):
                    batch.append(next(lines))
            except StopIteration:
                done[i] = True
        if batch:
            helper.stdin.write(b"".join(batch))
            sent_lines += len(batch)
            batch = []
        peak = max(peak, rss_kb(helper.pid, "VmRSS") or 0)
    sent_at = time.monotonic()
    # Let it work through what it kept while sampling memory, then finish.
    helper.stdin.write(b'{"type":"finish"}\n')
    helper.stdin.close()
    while helper.poll() is None:
        peak = max(peak, rss_kb(helper.pid, "VmRSS") or 0)
        time.sleep(0.2)
    reader.join(5)
    result = summarize(reader, helper, started)
    result.update({
        "mode": "flood",
        "lines_sent": sent_lines,
        "audio_sent_min_per_source": minutes,
        "send_s": round(sent_at - started, 1),
        "drain_s": round(time.monotonic() - sent_at, 1),
        "peak_rss_mb": round(peak / 1024, 1),
        # The newest audio is kept: the last transcripts lie near the end of
        # the timeline that was sent, though most of it was dropped.
        "timeline_reached_s": {s: round(max([e["end_ms"] for e in reader.events if e.get("source_id") == s
                                             and e.get("type") == "transcript.upsert"] or [0]) / 1000, 1)
                               for s in (0, 1)},
        "timeline_sent_s": minutes * 60,
    })
    print(json.dumps(result, indent=2))
    ok = (result["exit_status"] == 0 and result["torn_or_bad_lines"] == 0 and result["finals"] > 0
          and result["last_event"] == "stream.finished" and result["stderr_bytes"] == 0)
    return 0 if ok else 1


def soak(minutes):
    pcm = speech_pcm()
    helper, reader = start_helper()
    started = time.monotonic()
    samples = []
    lines = [audio_lines(pcm, 0, minutes * 60), audio_lines(pcm, 1, minutes * 60)]
    chunk_s = CHUNK_FRAMES / 16000
    n = 0
    next_sample = started
    while True:
        try:
            data = next(lines[0]) + next(lines[1])
        except StopIteration:
            break
        helper.stdin.write(data)
        helper.stdin.flush()
        n += 1
        now = time.monotonic()
        if now >= next_sample:
            samples.append((now - started, rss_kb(helper.pid, "VmRSS")))
            next_sample = now + 5
        delay = started + n * chunk_s - time.monotonic()
        if delay > 0:
            time.sleep(delay)
    cpu = None
    try:
        with open("/proc/%d/stat" % helper.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
            cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        pass
    hwm = rss_kb(helper.pid, "VmHWM")
    helper.stdin.write(b'{"type":"finish"}\n')
    helper.stdin.close()
    helper.wait()
    reader.join(5)
    result = summarize(reader, helper, started)
    # Growth: a least-squares slope over the samples after the first minute
    # (model loading and first utterances settle there).
    tail = [(t, r) for t, r in samples if t >= 60 and r is not None]
    slope = None
    if len(tail) >= 2:
        mt = sum(t for t, _ in tail) / len(tail)
        mr = sum(r for _, r in tail) / len(tail)
        num = sum((t - mt) * (r - mr) for t, r in tail)
        den = sum((t - mt) ** 2 for t, _ in tail)
        slope = num / den * 3600 / 1024 if den else 0.0
    result.update({
        "mode": "soak",
        "audio_min_per_source": minutes,
        "cpu_s": cpu,
        "cpu_share_of_one_core": round(cpu / (minutes * 60), 3) if cpu else None,
        "rss_first_mb": round(samples[0][1] / 1024, 1) if samples and samples[0][1] else None,
        "rss_last_mb": round(samples[-1][1] / 1024, 1) if samples and samples[-1][1] else None,
        "peak_rss_mb": round(hwm / 1024, 1) if hwm else None,
        "rss_growth_mb_per_hour": round(slope, 2) if slope is not None else None,
        "rss_samples_mb": [round(r / 1024, 1) for _, r in samples if r],
    })
    print(json.dumps(result, indent=2))
    ok = result["exit_status"] == 0 and result["torn_or_bad_lines"] == 0 and result["last_event"] == "stream.finished"
    return 0 if ok else 1


if __name__ == "__main__":
    mode = sys.argv[1]
    default = 60 if mode == "flood" else 10
    minutes = float(sys.argv[2]) if len(sys.argv) > 2 else default
    sys.exit(flood(minutes) if mode == "flood" else soak(minutes))

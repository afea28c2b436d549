#!/usr/bin/env python3
"""Plays videos in headless Chromium and reports what its <video> element saw.

Usage: playcheck.py VIDEO[@SECONDS:X:Y]...  Prints one JSON object per video: picture size,
duration, the colour of pixel X, Y after a seek to each SECONDS given (in order, before the rest),
whether playing from the last second reached the end and where it ended, media errors, and the
audio and video bytes the browser decoded. The page is served from a local HTTP server, which also takes the result."""
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading

PAGE = """<!doctype html><html><body><script>
const videos = %s;
const results = {};
let pending = videos.length;
function report() {
  fetch('/result', {method: 'POST', body: JSON.stringify(results)});
}
for (const [name, probes] of videos) {
  const r = results[name] = {probed: []};
  const v = document.createElement('video');
  v.muted = false;
  v.preload = 'auto';
  let seeked = false, done = false, probe = 0, probing = false;
  const finish = () => { if (done) return; done = true; if (--pending == 0) report(); };
  v.addEventListener('loadeddata', () => {
    r.width = v.videoWidth; r.height = v.videoHeight; r.duration = v.duration;
    if (!probes.length) v.currentTime = Math.max(0, v.duration - 1);
  });
  // Probing seeks wait until the browser can play on from wherever they land.
  v.addEventListener('canplaythrough', () => {
    if (probes.length && probe == 0 && !probing) {
      probing = true;
      v.currentTime = probes[0][0];
    }
  });
  v.addEventListener('seeked', () => {
    if (probe < probes.length) {
      // The sought picture reaches the element a moment after the event.
      setTimeout(() => {
        const canvas = document.createElement('canvas');
        canvas.width = v.videoWidth; canvas.height = v.videoHeight;
        const context = canvas.getContext('2d');
        context.drawImage(v, 0, 0);
        const [, x, y] = probes[probe];
        r.probed.push(Array.from(context.getImageData(x, y, 1, 1).data.slice(0, 3)));
        ++probe;
        v.currentTime = probe < probes.length ? probes[probe][0] : Math.max(0, v.duration - 1);
      }, 300);
      return;
    }
    if (seeked) return;
    seeked = true;
    v.play().catch(e => { r.playError = String(e); finish(); });
  });
  v.addEventListener('ended', () => {
    r.ended = true;
    r.endedAt = v.currentTime;
    r.audioBytes = v.webkitAudioDecodedByteCount;
    r.videoBytes = v.webkitVideoDecodedByteCount;
    finish();
  });
  v.addEventListener('error', () => {
    r.error = v.error ? v.error.code + ' ' + v.error.message : 'unknown';
    finish();
  });
  v.src = name;
  document.body.appendChild(v);
}
</script></body></html>"""


def main():
    videos = sys.argv[1:]
    if not videos:
        print(__doc__, file=sys.stderr)
        return 2
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("playcheck: chromium is not installed", file=sys.stderr)
        return 77
    folder = tempfile.mkdtemp(prefix="corvane-playcheck-")
    names = []
    pages = []
    for index, argument in enumerate(videos):
        video, *probes = argument.split("@")
        videos[index] = video
        name = "v%d%s" % (index, os.path.splitext(video)[1])
        os.symlink(os.path.abspath(video), os.path.join(folder, name))
        names.append(name)
        pages.append([name, [[float(n) for n in probe.split(":")] for probe in probes]])
    with open(os.path.join(folder, "page.html"), "w") as page:
        page.write(PAGE % json.dumps(pages))

    result = {}
    arrived = threading.Event()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=folder, **kwargs)

        def do_GET(self):
            # Byte ranges, without which the browser cannot seek at all.
            path = self.translate_path(self.path)
            wanted = self.headers.get("Range", "")
            if not wanted.startswith("bytes=") or not os.path.isfile(path):
                return super().do_GET()
            with open(path, "rb") as media:
                data = media.read()
            start, _, end = wanted[len("bytes="):].split(",")[0].partition("-")
            if start:
                first = int(start)
                last = min(int(end), len(data) - 1) if end else len(data) - 1
            else:  # the last `end` bytes
                first, last = max(0, len(data) - int(end)), len(data) - 1
            if first >= len(data):
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % len(data))
                self.end_headers()
                return
            self.send_response(206)
            self.send_header("Content-Type", self.guess_type(path))
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(data)))
            self.send_header("Content-Length", str(last - first + 1))
            self.end_headers()
            self.wfile.write(data[first:last + 1])

        def do_POST(self):
            length = int(self.headers.get("Content-Length", 0))
            result.update(json.loads(self.rfile.read(length)))
            self.send_response(204)
            self.end_headers()
            arrived.set()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/page.html" % server.server_address[1]
    profile = tempfile.mkdtemp(prefix="corvane-chromium-")
    child = subprocess.Popen(
        [browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--autoplay-policy=no-user-gesture-required", "--user-data-dir=" + profile, url],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=dict(os.environ, TMPDIR=profile))  # its scratch folders go with the profile
    try:
        finished = arrived.wait(90)
    finally:
        child.kill()
        child.wait()
        server.shutdown()
        shutil.rmtree(profile, ignore_errors=True)
        shutil.rmtree(folder, ignore_errors=True)
    if not finished:
        print("playcheck: no result from the browser within 90 s", file=sys.stderr)
        return 1
    for name, video in zip(names, videos):
        print(json.dumps(dict(result.get(name, {}), file=video), sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""The page in headless Chromium against the native build, one run each: the
movies or image given converted with the built-in encoder, with threads (the
page served isolated, -j 0) and without, against vornalt -j 0 natively; the
wall time from the click to the summary, the module's memory at the end and
the renderer's peak (the page, its worker and the module; one process).
Usage: [BUILDS=threads] browser.py PAGE_DIR VORNALT NAME FILE... (prints one line)"""
import glob, os, re, shutil, subprocess, sys, tempfile, time
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

page, vornalt, name, files = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3], [os.path.abspath(f) for f in sys.argv[4:]]
inputs = [f for f in files if f.rsplit(".", 1)[-1].lower() in ("sfd", "gdi", "cue", "iso", "chd", "cdi")]

out = tempfile.mkdtemp()
start = time.monotonic()
subprocess.run([vornalt, "-j", "0", "-o", out + "/", *inputs], check=True, capture_output=True)
native = time.monotonic() - start
shutil.rmtree(out)

options = webdriver.ChromeOptions()
for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
    options.add_argument(argument)
preferences = {"download_restrictions": 3}  # the page's downloads stay in memory
options.add_experimental_option("prefs", preferences)
line = f"{name}: native -j 0 {native:.2f} s"


def summary(seconds):
    for _ in range(seconds * 20):
        text = driver.find_element(By.ID, "summary").text
        if text and not text.endswith("…"):
            return text
        time.sleep(0.05)
    return "(no end)"


def renderer_peak():
    """The most memory that a renderer process of Chromium's held (VmHWM), in
    MiB: the page's holds the page, its worker and the module."""
    peak = 0
    for status in glob.glob("/proc/[0-9]*/status"):
        try:
            with open(os.path.join(os.path.dirname(status), "cmdline"), "rb") as f:
                if b"--type=renderer" not in f.read():
                    continue
            with open(status) as f:
                found = re.search(r"^VmHWM:\s+(\d+) kB", f.read(), re.M)
        except OSError:
            continue
        if found:
            peak = max(peak, int(found.group(1)) // 1024)
    return peak


# Clicks Convert and waits in the page for the summary, timed there: polling
# from here would take the processor from the run it times.
CONVERT = """
const done = arguments[arguments.length - 1];
const summary = document.getElementById('summary');
const start = performance.now();
new MutationObserver((_, observer) => {
    const text = summary.textContent;
    if (!text || text.endsWith('…')) return;
    observer.disconnect();
    done([(performance.now() - start) / 1000, text]);
}).observe(summary, {childList: true, characterData: true, subtree: true});
document.getElementById('convert').click();
"""


servers = {"threads": [sys.executable, os.path.join(os.path.dirname(__file__), "..", "web", "serve.py")],
           "plain": [sys.executable, "-m", "http.server", "-d"]}
for build in os.environ.get("BUILDS", "threads plain").split():
    # A browser of its own for each build: the renderer's peak is that run's.
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    server = subprocess.Popen([*servers[build], page, "8977"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    try:
        driver.get("http://localhost:8977/")
        driver.find_element(By.ID, "pick").send_keys("\n".join(files))
        summary(600)
        driver.set_script_timeout(3600)
        took, said = driver.execute_async_script(CONVERT)
        heap = int(driver.find_element(By.ID, "summary").get_attribute("data-heap") or 0) / 1048576
        line += (f"; {build} {took:.2f} s (ratio {took / native:.2f}), module {heap:.0f} MiB,"
                 f" renderer peak {renderer_peak()} MiB ({said})")
    finally:
        server.kill()
        driver.quit()
print(line)

#!/usr/bin/python3
"""The page in headless Chromium against the native build, one run each: the
movies or image given converted with the built-in encoder, with threads (the
page served isolated, -j 0) and without, against vornalt -j 0 natively; the
wall time from the click to the summary, and the module's memory at the end.
Usage: [BUILDS=threads] browser.py PAGE_DIR VORNALT NAME FILE... (prints one line)"""
import os, shutil, subprocess, sys, tempfile, time
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
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
line = f"{name}: native -j 0 {native:.2f} s"


def summary(seconds):
    for _ in range(seconds * 20):
        text = driver.find_element(By.ID, "summary").text
        if text and not text.endswith("…"):
            return text
        time.sleep(0.05)
    return "(no end)"


try:
    servers = {"threads": [sys.executable, os.path.join(os.path.dirname(__file__), "..", "web", "serve.py")],
               "plain": [sys.executable, "-m", "http.server", "-d"]}
    for build in os.environ.get("BUILDS", "threads plain").split():
        command = servers[build]
        server = subprocess.Popen([*command, page, "8977"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        try:
            driver.get("http://localhost:8977/")
            driver.find_element(By.ID, "pick").send_keys("\n".join(files))
            summary(600)
            start = time.monotonic()
            driver.find_element(By.ID, "convert").click()
            said = summary(3600)
            took = time.monotonic() - start
            heap = int(driver.find_element(By.ID, "summary").get_attribute("data-heap") or 0) / 1048576
            line += f"; {build} {took:.2f} s (ratio {took / native:.2f}), memory {heap:.0f} MiB ({said})"
        finally:
            server.kill()
finally:
    driver.quit()
print(line)

#!/usr/bin/python3
"""A person at the printer application's "Held jobs" page in headless Chromium:
signs in for a held job with a wrong password, then the right one.

usage: release_page.py URL JOB SCREENSHOT
Prints what the page showed, one line a step."""
import sys

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

url, job, screenshot = sys.argv[1], sys.argv[2], sys.argv[3]
options = webdriver.ChromeOptions()
# The application's certificate is its own, self-signed.
for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1100,700",
            "--ignore-certificate-errors"):
    options.add_argument(arg)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
browser.set_page_load_timeout(60)


def held_rows():
    return [" | ".join(td.text for td in row.find_elements(By.TAG_NAME, "td")[:2])
            for row in browser.find_elements(By.CSS_SELECTOR, "#held tbody tr")]


def sign_in(password, pin=""):
    for name, value in (("user", "alice"), ("password", password), ("account", "A-7"), ("pin", pin)):
        field = browser.find_element(By.ID, f"{name}-{job}")
        field.clear()
        field.send_keys(value)
    button = browser.find_element(By.ID, f"release-{job}")
    button.click()
    WebDriverWait(browser, 60).until(expected_conditions.staleness_of(button))
    print("notice:", browser.find_element(By.ID, "notice").text)


try:
    browser.get(url)
    print("page:", browser.title.split(" - ")[0], "| scheme:", browser.current_url.split(":")[0])
    print("held:", held_rows())
    sign_in("wrong")
    print("held:", held_rows())
    browser.save_screenshot(screenshot)
    sign_in("s3cret", "2468")
    print("held:", held_rows() or browser.find_element(By.ID, "none").text)
    print("password in the page:", "s3cret" in browser.page_source)
finally:
    browser.quit()

"""What both page walks share: polling the page, clicking through the DOM (native clicks do not
reach WebKitGTK under Xvfb), reading what the learner sees, and screenshots."""
import json
import os
import time


class Walk:
    def __init__(self, driver, shots, prefix):
        self.driver = driver
        self.shots = shots
        self.prefix = prefix

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait(self, condition, what, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            value = self.js(f'return ({condition});')
            if value:
                return value
            time.sleep(0.1)
        self.shot('failure')
        raise AssertionError(f'timed out waiting for {what}; page text: {self.text()[:600]!r}; errors: {self.errors()}')

    def text(self):
        return self.js('return document.body.innerText')

    def errors(self):
        return self.js('return window.__pageErrors')

    def click(self, selector):
        self.wait(f'document.querySelector({json.dumps(selector)})', selector)
        self.js('document.querySelector(arguments[0]).click()', selector)

    def click_text(self, tag, label):
        found = self.wait(f'[...document.querySelectorAll({json.dumps(tag)})].find(e => e.textContent.trim() === {json.dumps(label)})',
                          f'{tag} "{label}"')
        self.js('arguments[0].click()', found)

    def see(self, text, timeout=20):
        self.wait(f'document.body.innerText.includes({json.dumps(text)})', f'text "{text}"', timeout)

    def posted(self, kind):
        return self.js('return window.__posted.filter(m => m.type === arguments[0])', kind)

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.shots, f'{self.prefix}-{name}.png'))


def sign_in(walk, account, password):
    walk.wait('document.getElementById("account")', 'the sign-in form')
    walk.js('document.getElementById("account").value = arguments[0];'
            'document.getElementById("password").value = arguments[1];'
            'document.querySelector("form").requestSubmit();', account, password)

// Drives Chromium with Moonfetch's extension loaded: opens a page, then runs the extension's
// menu action on a link of it, as a click on "Download later with Moonfetch" does, and prints
// the notification it shows. Arguments: extension folder, profile folder, page URL, link URL.
"use strict";
const puppeteer = require("puppeteer-core");

async function main([extension, profile, pageUrl, linkUrl]) {
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium", headless: true, userDataDir: profile, pipe: true,
    enableExtensions: [extension], args: ["--no-sandbox"],
  });
  try {
    const worker = await (await browser.waitForTarget((t) => t.type() === "service_worker")).worker();
    const page = await browser.newPage();
    await page.goto(pageUrl);
    const told = await worker.evaluate(async (pageUrl, linkUrl) => {
      let text;
      notify = (message) => { text = message; };
      const [tab] = await chrome.tabs.query({ url: pageUrl });
      await handOver({ linkUrl, pageUrl, frameId: 0 }, tab);
      return text;
    }, pageUrl, linkUrl);
    console.log(told);
  } finally {
    await browser.close();
  }
}

main(process.argv.slice(2)).catch((error) => {
  console.error(error);
  process.exit(1);
});

// Runs the extension's menu action on a link of a page in Chromium; prints the notification.
const puppeteer = require("puppeteer-core");

(async ([extension, profile, pageUrl, linkUrl]) => {
  const browser = await puppeteer.launch({ executablePath: "/usr/bin/chromium", headless: true, pipe: true,
                                           userDataDir: profile, enableExtensions: [extension], args: ["--no-sandbox"] });
  const worker = await (await browser.waitForTarget((t) => t.type() === "service_worker")).worker();
  await (await browser.newPage()).goto(pageUrl);
  console.log(await worker.evaluate(async (pageUrl, linkUrl) => {
    let told;
    notify = (message) => { told = message; };
    const [tab] = await chrome.tabs.query({ url: pageUrl });
    await handOver({ linkUrl, pageUrl, frameId: 0 }, tab);
    return told;
  }, pageUrl, linkUrl));
  await browser.close();
})(process.argv.slice(2));

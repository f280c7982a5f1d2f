// "Download later with Moonfetch": hands the links of a context menu to Moonfetch's native
// messaging host, each with the page it was found on and the cookies the browser would send
// with it, and tells the answer in a short notification.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const HOST = "com.larkvale.moonfetch";
const MENU_TITLE = "Download later with Moonfetch";
const IS_FIREFOX = typeof globalThis.browser !== "undefined" && "getBrowserInfo" in api.runtime;

api.runtime.onInstalled.addListener(() => {
  api.contextMenus.removeAll(() => {
    api.contextMenus.create({ id: "moonfetch", title: MENU_TITLE, contexts: ["link", "selection", "page"] });
  });
});

api.contextMenus.onClicked.addListener((info, tab) => {
  handOver(info, tab).catch((error) => notify(`Moonfetch could not be reached: ${error.message ?? error}`));
});

async function handOver(info, tab) {
  const urls = await linksOf(info, tab);
  if (urls.length === 0) {
    notify("The selection holds no link.");
    return;
  }
  const onPage = info.linkUrl !== undefined || info.selectionText !== undefined;
  const referrer = onPage ? info.frameUrl ?? info.pageUrl ?? "" : "";
  const storeId = await cookieStoreOf(tab);
  const links = [];
  for (const url of urls)
    links.push({ url, referrer, cookieHeader: await cookieHeaderFor(url, storeId) });
  tell(await api.runtime.sendNativeMessage(HOST, { links }), urls);
}

// The cookie store of the tab: its container in Firefox, the private window's store in Chromium.
async function cookieStoreOf(tab) {
  if (tab?.cookieStoreId)
    return tab.cookieStoreId;
  const stores = await api.cookies.getAllCookieStores();
  return stores.find((store) => store.tabIds.includes(tab?.id))?.id;
}

// The link under the pointer, the links of the selection, or the page itself.
async function linksOf(info, tab) {
  if (info.linkUrl)
    return [info.linkUrl];
  if (info.selectionText === undefined)
    return [info.pageUrl];
  let found = [];
  try {
    const [run] = await api.scripting.executeScript({
      target: { tabId: tab.id, frameIds: [info.frameId ?? 0] },
      func: selectedLinks,
    });
    found = run?.result ?? [];
  } catch {
    // A page the extension may not script (the browser's own pages): the selection's text is left.
  }
  if (found.length === 0)
    found = info.selectionText.match(/\b(?:https?|ftp):\/\/[^\s"'<>]+/gi) ?? [];
  return [...new Set(found)];
}

// Runs in the page: the targets of the links that the selection touches, in document order.
function selectedLinks() {
  const selection = window.getSelection();
  const ranges = [];
  for (let k = 0; k < selection.rangeCount; ++k)
    ranges.push(selection.getRangeAt(k));
  return [...document.querySelectorAll("a[href]")]
    .filter((a) => ranges.some((range) => range.intersectsNode(a)))
    .map((a) => a.href);
}

// The Cookie header the browser would send when the link is opened: the cookies of the link's
// own first-party context (a top-level load) in the tab's cookie store (its container, or the
// private window's), longer paths first.
async function cookieHeaderFor(url, storeId) {
  const query = { url };
  if (storeId)
    query.storeId = storeId;
  if (IS_FIREFOX) {
    query.firstPartyDomain = null;
    query.partitionKey = {};
  }
  let cookies;
  try {
    cookies = await api.cookies.getAll(query);
  } catch {
    return "";
  }
  const host = new URL(url).hostname;
  return cookies
    .filter((cookie) => isFirstPartyOf(cookie, host))
    .sort((a, b) => b.path.length - a.path.length)
    .map((cookie) => (cookie.name ? `${cookie.name}=${cookie.value}` : cookie.value))
    .join("; ");
}

// Whether a cookie belongs to the first-party context of host: not isolated or partitioned at
// all, or isolated for a site that host lies in.
function isFirstPartyOf(cookie, host) {
  const site = cookie.firstPartyDomain || siteHost(cookie.partitionKey?.topLevelSite);
  return !site || host === site || host.endsWith(`.${site}`);
}

function siteHost(origin) {
  try {
    return origin ? new URL(origin).hostname : "";
  } catch {
    return "";
  }
}

function tell(answer, urls) {
  if (answer?.error) {
    notify(`Moonfetch refused the links: ${answer.error}`);
    return;
  }
  const results = answer?.results ?? [];
  const refused = results.findIndex((result) => !result.added);
  if (urls.length === 1)
    notify(refused < 0 ? `Added: ${urls[0]}` : `Not added: ${results[refused].reason}`);
  else
    notify(`${answer.added} of ${urls.length} links added.` +
           (refused < 0 ? "" : ` Not added: ${urls[refused]}: ${results[refused].reason}`));
}

function notify(message) {
  api.notifications.create({
    type: "basic",
    iconUrl: api.runtime.getURL("icons/moonfetch-32.png"),
    title: "Moonfetch",
    message,
  });
}

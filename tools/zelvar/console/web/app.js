// The console's single-page app. Every page is drawn from the JSON API
// (docs/console.md) with createElement and textContent only: nicks,
// messages and notes are players' text and never become markup.
// Routes are hashes: #/login, #/search/TEXT, #/player/ID, #/audit,
// #/health, #/logins.
"use strict";

const kRoleRank = { viewer: 0, support: 1, admin: 2 };
let session = null;  // {user, role, csrf, expires} while logged in

// ---- helpers ---------------------------------------------------------------

// el("td", {className: "x"}, "text", child...) builds an element; strings
// become text nodes, null and undefined are left out.
function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (key === "dataset") Object.assign(node.dataset, value);
    else if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
    else node[key] = value;
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

function mayDo(role) {
  return session !== null && kRoleRank[session.role] >= kRoleRank[role];
}

function showNotice(text, kind) {
  const notice = document.getElementById("notice");
  notice.textContent = text;
  notice.className = kind;
  notice.hidden = false;
}

function clearNotice() {
  document.getElementById("notice").hidden = true;
}

class ApiError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

// Calls the API; resolves to the parsed answer or rejects with ApiError
// carrying the answer's error text. A 401 means the login is gone.
async function api(method, path, body) {
  const headers = {};
  const init = { method, headers, credentials: "same-origin" };
  if (method !== "GET") {
    if (session) headers["X-CSRF-Token"] = session.csrf;
    if (body !== undefined) {
      headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    throw new ApiError("the console can't be reached: " + e.message, 0);
  }
  let answer = null;
  try {
    answer = await response.json();
  } catch (e) {
    answer = null;
  }
  if (!response.ok) {
    const text = answer && answer.error ? answer.error : "HTTP " + response.status;
    if (response.status === 401 && path !== "/api/login") {
      setSession(null);
      if (location.hash !== "#/login") location.hash = "#/login";
    }
    throw new ApiError(text, response.status);
  }
  return answer;
}

function confirmAction(title, lines) {
  const dialog = document.getElementById("confirm-dialog");
  document.getElementById("confirm-title").textContent = title;
  document.getElementById("confirm-lines").replaceChildren(...lines.map((line) => el("li", {}, line)));
  dialog.returnValue = "cancel";
  dialog.showModal();
  return new Promise((resolve) => {
    dialog.addEventListener("close", () => resolve(dialog.returnValue === "confirm"), { once: true });
  });
}

// Runs a write behind its confirmation; the button stays disabled while it
// runs so a second click sends nothing. Resolves to the answer or null.
async function confirmedWrite(button, title, lines, method, path, body) {
  if (!(await confirmAction(title, lines))) return null;
  if (button) button.disabled = true;
  try {
    return await api(method, path, body);
  } catch (e) {
    showNotice(title + " failed: " + e.message, "error");
    return null;
  } finally {
    if (button) button.disabled = false;
  }
}

function table(id, headings, rows) {
  return el("table", { id },
    el("thead", {}, el("tr", {}, headings.map((h) => el("th", {}, h)))),
    el("tbody", {}, rows));
}

function section(title, id, ...content) {
  return el("section", { id }, el("h2", {}, title), content);
}

function unixTime(seconds) {
  const d = new Date(seconds * 1000);
  const pad = (n) => String(n).padStart(2, "0");
  return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) + " " +
    pad(d.getHours()) + ":" + pad(d.getMinutes());
}

function newOrderId() {
  const bytes = new Uint8Array(8);
  crypto.getRandomValues(bytes);
  return "console-" + Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

function setSession(answer) {
  session = answer;
  document.getElementById("top").hidden = session === null;
  if (session) {
    document.getElementById("whoami").textContent = session.user + " (" + session.role + ")";
    document.getElementById("nav-logins").hidden = !mayDo("admin");
  }
}

// ---- pages -----------------------------------------------------------------

function loginPage(view) {
  const user = el("input", { id: "login-user", name: "user", autocomplete: "username", required: true });
  const password = el("input", { id: "login-password", name: "password", type: "password",
    autocomplete: "current-password", required: true });
  const form = el("form", { id: "login-form", className: "card" },
    el("h1", {}, "Zelvar console"),
    el("label", {}, "User", user),
    el("label", {}, "Password", password),
    el("button", { type: "submit", id: "login-submit", className: "primary" }, "Log in"));
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    try {
      setSession(await api("POST", "/api/login", { user: user.value, password: password.value }));
      clearNotice();
      location.hash = "#/search";
    } catch (e) {
      showNotice("Login failed: " + e.message, "error");
    }
  });
  view.append(form);
  user.focus();
}

async function searchPage(view, text) {
  const input = el("input", { id: "search-text", type: "search", value: text,
    placeholder: "id, user name, nick or part of one" });
  const form = el("form", { id: "search-form" }, input,
    el("button", { type: "submit", id: "search-submit", className: "primary" }, "Search"));
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    location.hash = "#/search/" + encodeURIComponent(input.value.trim());
  });
  view.append(el("h1", {}, "Players"), form);
  input.focus();
  if (!text) return;
  const answer = await api("GET", "/api/users?search=" + encodeURIComponent(text) + "&limit=50");
  const rows = answer.rows.map((u) => el("tr", { className: "result-row" },
    el("td", {}, el("a", { href: "#/player/" + u.id, className: "player-link" }, String(u.id))),
    el("td", {}, u.user_name), el("td", {}, u.nick), el("td", {}, u.level),
    el("td", {}, online(u.online))));
  view.append(rows.length ? table("search-results", ["id", "user name", "nick", "level", "online"], rows)
                          : el("p", { id: "search-results", className: "empty" }, "No player matches."));
}

function online(flag) {
  return el("span", { className: flag ? "online" : "offline" }, flag ? "online" : "offline");
}

async function playerPage(view, id) {
  const base = "/api/players/" + encodeURIComponent(id);
  const [account, friends, goods, messages, trades, invitations] = await Promise.all([
    api("GET", base), api("GET", base + "/friends"), api("GET", base + "/goods"),
    api("GET", base + "/messages?limit=20"), api("GET", base + "/trades"), api("GET", base + "/invitations")]);
  const player = account.account;
  const reload = () => render();
  view.append(
    el("h1", { id: "player-title" }, player.nick + " ", el("small", {}, "#" + player.id + " " + player.user_name)),
    el("p", { id: "player-profile" }, "level " + player.level + " · sex " + player.sex + " · ", online(player.online)),
    goodsSection(base, player, goods, reload),
    el("div", { className: "columns" }, friendsSection(base, player, friends, reload), messagesSection(messages)),
    section("Trades", "trades", table("trades-table", ["id", "player", "with", "item", "time"],
      trades.rows.map((t) => el("tr", {}, el("td", {}, t.id), el("td", {}, t.player), el("td", {}, t.played),
        el("td", {}, t.play_id), el("td", {}, unixTime(t.time)))))),
    section("Invitations", "invitations", table("invitations-table",
      ["id", "code", "email", "state", "zone", "note", "time"],
      invitations.rows.map((i) => el("tr", {}, el("td", {}, i.id), el("td", {}, i.code), el("td", {}, i.email),
        el("td", {}, i.state), el("td", {}, i.zone), el("td", {}, i.note), el("td", {}, i.time))))));
}

function goodsSection(base, player, goods, reload) {
  const admin = mayDo("admin");
  const rowAction = (label, kind, row, path, body) => el("button", {
    type: "button", className: kind + "-button", dataset: { row: row.id },
    onclick: async (event) => {
      const done = await confirmedWrite(event.target, label + " goods row " + row.id,
        [label + " row " + row.id + " of " + player.user_name + " (#" + player.id + ")",
         "goods " + row.goods_id + ", " + row.kind + ", due " + row.due_time],
        "POST", base + path, body);
      if (done) { showNotice(label + ": " + done.rows_changed + " row(s) changed", "ok"); reload(); }
    } }, label);
  const rows = goods.rows.map((row) => el("tr", { className: "goods-row " + row.state, dataset: { goods: row.goods_id } },
    el("td", {}, row.id), el("td", {}, row.goods_id), el("td", {}, row.type), el("td", {}, row.kind),
    el("td", {}, row.add_time), el("td", {}, row.due_time), el("td", { className: "state" }, row.state),
    el("td", {}, row.buy_day === undefined ? "" : row.buy_day),
    admin ? el("td", {}, rowAction("Revoke", "revoke", row, "/goods/revoke", { row_ids: [row.id] }),
      row.kind === "time-limited" && row.state !== "expired"
        ? rowAction("Expire", "expire", row, "/goods/expire", { row_ids: [row.id] }) : null) : null));
  const headings = ["row", "goods", "type", "kind", "added", "due", "state", "buy day"];
  if (admin) headings.push("");
  // The speak counters side by side: one column per quota goods type.
  const counters = goods.speak.counters;
  const speak = el("table", { id: "speak-table", className: "compact" },
    el("tr", {}, el("th", {}, "goods type"), counters.map((c) => el("th", {}, c.goods_type))),
    el("tr", {}, el("th", {}, "count"), counters.map((c) => el("td", { className: "count" }, c.count))));
  const orders = goods.orders.map((o) => el("tr", {}, el("td", {}, o.order_id), el("td", {}, o.goods_id),
    el("td", {}, o.type), el("td", {}, o.amount), el("td", {}, o.add_time)));
  return section("Goods", "goods",
    mayDo("support") ? grantForm(base, player, reload) : null,
    table("goods-table", headings, rows),
    el("h3", {}, "Speak counters"),
    goods.speak.usable ? null : el("p", { className: "warning" }, "The speak entry can't be read: " + goods.speak.face),
    speak,
    orders.length ? el("h3", {}, "Orders") : null,
    orders.length ? table("orders-table", ["order", "goods", "type", "amount", "added"], orders) : null);
}

// The grant form makes its order id when it opens: confirming twice or
// retrying after a lost answer sends the same order, which grants once.
function grantForm(base, player, reload) {
  const box = el("div", { id: "grant-box" });
  const open = el("button", { type: "button", id: "grant-button", className: "primary" }, "Grant goods…");
  open.addEventListener("click", () => {
    const orderId = newOrderId();
    const entries = el("textarea", { id: "grant-entries", rows: 3,
      placeholder: "GOODS:AMOUNT:TYPE, one a line, e.g. 1001:7天:1" });
    const submit = el("button", { type: "submit", id: "grant-submit", className: "primary" }, "Grant");
    const cancel = el("button", { type: "button", id: "grant-cancel", onclick: () => box.replaceChildren(open) }, "Cancel");
    const form = el("form", { id: "grant-form", className: "card" },
      el("p", {}, "Order ", el("code", { id: "grant-order" }, orderId)),
      el("label", {}, "Entries", entries), el("div", { className: "buttons" }, cancel, submit));
    form.addEventListener("submit", async (event) => {
      event.preventDefault();
      const list = entries.value.split(/[\s,]+/).filter((e) => e !== "");
      if (list.length === 0) { showNotice("Give at least one entry GOODS:AMOUNT:TYPE.", "error"); return; }
      const done = await confirmedWrite(submit, "Grant goods",
        ["Grant to " + player.user_name + " (#" + player.id + "):", ...list, "order " + orderId],
        "POST", base + "/goods", { entries: list, order_id: orderId });
      if (!done) return;
      showNotice(done.order_repeated ? "Order " + orderId + " was granted before: nothing more granted."
                                     : "Granted " + done.granted_now + " entr" + (done.granted_now === 1 ? "y" : "ies") +
                                       " (order " + orderId + ").", "ok");
      reload();
    });
    box.replaceChildren(form);
    entries.focus();
  });
  box.append(open);
  return box;
}

function friendsSection(base, player, friends, reload) {
  const support = mayDo("support");
  const rows = friends.rows.map((f) => el("tr", { className: "friend-row", dataset: { friend: f.id } },
    el("td", {}, el("a", { href: "#/player/" + f.id }, String(f.id))), el("td", {}, f.nick),
    el("td", {}, online(f.online)),
    support ? el("td", {}, el("button", { type: "button", className: "unfriend-button",
      onclick: async (event) => {
        const done = await confirmedWrite(event.target, "End friendship",
          ["End the friendship of " + player.user_name + " (#" + player.id + ") and " + f.nick + " (#" + f.id + ")",
           "The trades between the two are deleted."],
          "POST", base + "/unfriend", { friend: f.id });
        if (done) { showNotice("Friendship ended.", "ok"); reload(); }
      } }, "End friendship")) : null));
  const headings = ["id", "nick", "status"];
  if (support) headings.push("");
  return section("Friends", "friends", table("friends-table", headings, rows),
    support && friends.rows.length ? messageForm(base, player, friends.rows) : null);
}

function messageForm(base, player, friends) {
  const to = el("select", { id: "message-to" }, friends.map((f) => el("option", { value: f.id }, f.nick + " (#" + f.id + ")")));
  const text = el("input", { id: "message-text", maxLength: 4000, required: true });
  const send = el("button", { type: "submit", id: "message-submit" }, "Send");
  const form = el("form", { id: "message-form" }, el("label", {}, "Message to", to), el("label", {}, "Text", text), send);
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const friend = to.options[to.selectedIndex].textContent;
    const done = await confirmedWrite(send, "Send a message",
      ["From " + player.user_name + " (#" + player.id + ") to " + friend + ":", text.value],
      "POST", base + "/messages", { to: Number(to.value), text: text.value });
    if (done) { showNotice("Message sent.", "ok"); text.value = ""; }
  });
  return form;
}

function messagesSection(messages) {
  const row = (m) => el("tr", { className: m.read ? "read" : "unread" },
    el("td", {}, m.time), el("td", {}, m.from_nick + " (#" + m.from + ")"), el("td", { className: "content" }, m.content),
    el("td", {}, m.read ? "read" : "unread"));
  return section("Messages", "messages",
    el("p", {}, messages.unread_total + " unread (viewing here marks nothing read)"),
    table("messages-table", ["time", "from", "text", ""], [...messages.unread.map(row), ...messages.read.map(row)]));
}

async function auditPage(view) {
  const fields = ["operator", "command", "outcome", "text"].map((name) =>
    el("input", { id: "audit-" + name, name, placeholder: name }));
  const since = el("input", { id: "audit-since", name: "since", value: "7d", placeholder: "since (7d, 24h)" });
  const results = el("div", { id: "audit-results" });
  const form = el("form", { id: "audit-form" }, since, fields,
    el("button", { type: "submit", id: "audit-submit", className: "primary" }, "Filter"));
  const load = async () => {
    const query = new URLSearchParams();
    for (const input of [since, ...fields]) if (input.value.trim()) query.set(input.name, input.value.trim());
    const answer = await api("GET", "/api/audit?" + query.toString());
    const rows = answer.rows.map((r) => el("tr", { className: "audit-row " + r.outcome },
      el("td", {}, r.time), el("td", {}, r.operator), el("td", {}, r.command),
      el("td", { className: "args" }, JSON.stringify(r.args)), el("td", {}, r.outcome),
      el("td", {}, r.rows_changed === undefined ? "" : r.rows_changed)));
    results.replaceChildren(rows.length
      ? table("audit-table", ["time", "operator", "command", "arguments", "outcome", "rows"], rows)
      : el("p", { className: "empty" }, "No write matches."));
  };
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    load().catch((e) => showNotice("Audit trail: " + e.message, "error"));
  });
  view.append(el("h1", {}, "Audit trail"), form, results);
  await load();
}

async function healthPage(view) {
  const health = await api("GET", "/api/health");
  const counts = Object.entries(health.row_counts || {}).map(([name, count]) =>
    el("tr", {}, el("td", {}, name), el("td", {}, count)));
  const records = (health.error_log || []).map((r) => el("tr", {}, el("td", {}, r.time), el("td", {}, r.message)));
  view.append(el("h1", {}, "Health: ", el("span", { id: "health-status", className: health.status }, health.status)),
    el("p", {}, health.backend + " " + (health.server_version || "") + " · " + (health.driver || "")),
    table("health-checks", ["check", "status", "detail"], health.checks.map((c) =>
      el("tr", { className: "check " + c.status }, el("td", {}, c.check), el("td", {}, c.status), el("td", {}, c.detail)))),
    el("h2", {}, "Rows"), table("health-counts", ["table", "rows"], counts),
    el("h2", {}, "Error log"), records.length ? table("health-errors", ["time", "message"], records)
                                              : el("p", { id: "health-errors", className: "empty" }, "No records."));
}

async function loginsPage(view) {
  const answer = await api("GET", "/api/console-users");
  const rows = answer.rows.map((u) => el("tr", { className: "login-row", dataset: { name: u.name } },
    el("td", {}, u.name), el("td", {}, u.role),
    el("td", {}, el("button", { type: "button", className: "remove-button", onclick: async (event) => {
      const done = await confirmedWrite(event.target, "Remove console login " + u.name,
        ["Remove the login " + u.name + " (" + u.role + ") and end its sessions."],
        "POST", "/api/console-users/" + encodeURIComponent(u.name) + "/remove");
      if (done) { showNotice("Login " + u.name + " removed.", "ok"); render(); }
    } }, "Remove"))));
  const name = el("input", { id: "new-login-name", required: true, autocomplete: "off" });
  const role = el("select", { id: "new-login-role" }, Object.keys(kRoleRank).map((r) => el("option", { value: r }, r)));
  const password = el("input", { id: "new-login-password", type: "password", required: true, autocomplete: "new-password" });
  const add = el("button", { type: "submit", id: "new-login-submit", className: "primary" }, "Add");
  const form = el("form", { id: "new-login-form", className: "card" }, el("h2", {}, "Add a login"),
    el("label", {}, "Name", name), el("label", {}, "Role", role), el("label", {}, "Password", password), add);
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const done = await confirmedWrite(add, "Add console login " + name.value,
      ["Add the login " + name.value + " with the role " + role.value + "."],
      "POST", "/api/console-users", { name: name.value, role: role.value, password: password.value });
    if (done) { showNotice("Login " + name.value + " added.", "ok"); render(); }
  });
  view.append(el("h1", {}, "Console logins"), table("logins-table", ["name", "role", ""], rows), form);
}

// ---- routing ---------------------------------------------------------------

async function render() {
  const view = document.getElementById("view");
  const [route, ...rest] = location.hash.replace(/^#\/?/, "").split("/");
  const argument = decodeURIComponent(rest.join("/"));
  if (session === null && route !== "login") {
    location.hash = "#/login";
    return;
  }
  const page = document.createElement("div");
  page.id = "page-" + (route || "search");
  view.replaceChildren(page);
  try {
    if (route === "login") loginPage(page);
    else if (route === "player") await playerPage(page, argument);
    else if (route === "audit") await auditPage(page);
    else if (route === "health") await healthPage(page);
    else if (route === "logins") await loginsPage(page);
    else await searchPage(page, argument);
  } catch (e) {
    if (e.status !== 401) page.append(el("p", { className: "error load-error" }, e.message));
  }
}

async function start() {
  document.getElementById("logout-button").addEventListener("click", async () => {
    try {
      await api("POST", "/api/logout");
    } catch (e) {
      // The login is gone either way; the app goes back to the login page.
    }
    setSession(null);
    clearNotice();
    location.hash = "#/login";
  });
  // A notice belongs to the page it was shown on; a write's outcome
  // survives the redraw of its own page, which is no hash change.
  window.addEventListener("hashchange", () => { clearNotice(); render(); });
  try {
    setSession(await api("GET", "/api/session"));
    if (location.hash === "" || location.hash === "#/login") {
      location.hash = "#/search";  // the hash change draws the page
      return;
    }
  } catch (e) {
    setSession(null);
  }
  render();
}

start();

#include "Pages.h"

#include <cctype>
#include <cstdio>

namespace tarnwick::standin {

namespace {

std::string queryValue(const Query& query, const std::string& name) {
  auto found = query.find(name);
  return found == query.end() ? std::string() : found->second;
}

// A JavaScript string literal that is also safe inside an HTML script element or attribute.
std::string scriptString(const std::string& text) {
  std::string out = "\"";
  for (char signedChar : text) {
    auto c = static_cast<unsigned char>(signedChar);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == '\'') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string pageStart(const PageIdentity& identity, const std::string& title,
                      const std::string& background) {
  return "<!doctype html><html><head><meta charset=\"utf-8\">\n"
         "<meta name=\"tarnwick-client-version\" content=\"" +
         escapeHTML(identity.version) +
         "\">\n"
         "<meta name=\"tarnwick-client-source\" content=\"" +
         escapeHTML(identity.source) +
         "\">\n"
         "<meta name=\"tarnwick-desktop-csrf\" content=\"" +
         escapeHTML(identity.csrfToken) +
         "\">\n"
         "<title>" +
         escapeHTML(title) +
         "</title>\n"
         "<style>html,body{margin:0;height:100%}body{background:" +
         background +
         ";color:#f5f0e8;font:18px sans-serif}h1{margin:0;padding:24px;font-size:30px}"
         ".big{display:block;box-sizing:border-box;width:100%;font:28px sans-serif}</style>\n"
         "<script src=\"/test/common.js\"></script>\n"
         "</head><body>\n";
}

constexpr const char* pageEnd = "\n</body></html>\n";

// The query text of `query` without the items named in `skip`, in the form URLSearchParams reads.
std::string encodeQuery(const Query& query, const std::string& skip) {
  auto encode = [](const std::string& text) {
    std::string out;
    for (char signedChar : text) {
      auto c = static_cast<unsigned char>(signedChar);
      if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
        out += static_cast<char>(c);
      } else {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        out += escaped;
      }
    }
    return out;
  };
  std::string out;
  for (const auto& [name, value] : query) {
    if (name == skip) {
      continue;
    }
    if (!out.empty()) {
      out += '&';
    }
    out += encode(name) + "=" + encode(value);
  }
  return out;
}

// Acts on its query once loaded (see the script's `act`). With "hold", it also waits that many
// milliseconds for an image, so its load stays in progress after it has been committed.
std::string actPage(const PageIdentity& identity, const Query& query) {
  std::string hold = queryValue(query, "hold");
  std::string image;
  if (!hold.empty() && hold.find_first_not_of("0123456789") == std::string::npos) {
    image = "<img src=\"/test/slow?ms=" + hold + "\" alt=\"\">\n";
  }
  return pageStart(identity, "Tarnwick test", "#2a2f3a") + "<h1>Test page</h1>\n" + image +
         "<script>tarnwickAct(new URLSearchParams(" + scriptString(encodeQuery(query, "")) +
         "));</script>" + pageEnd;
}

// A top-level page holding one iframe: either `child` (a URL) or a srcdoc document that acts on
// the remaining query items.
std::string framePage(const PageIdentity& identity, const Query& query) {
  std::string child = queryValue(query, "child");
  std::string frame;
  if (!child.empty()) {
    frame = "<iframe id=\"child\" style=\"width:90%;height:300px\" src=\"" + escapeHTML(child) +
            "\"></iframe>";
  } else {
    std::string inner =
        "<script src=\"/test/common.js\"></script><script>tarnwickAct(new URLSearchParams(" +
        scriptString(encodeQuery(query, "child")) + "));</script>";
    frame = "<iframe id=\"child\" style=\"width:90%;height:300px\" srcdoc=\"" + escapeHTML(inner) +
            "\"></iframe>";
  }
  return pageStart(identity, "Tarnwick frames", "#2a2f3a") + "<h1>Frame test</h1>\n" + frame +
         pageEnd;
}

std::string linksPage(const PageIdentity& identity, const Query& query) {
  std::string web = queryValue(query, "web");
  std::string mail = queryValue(query, "mail");
  if (web.empty()) {
    web = "https://tarnwick.invalid/outside?from=link";
  }
  if (mail.empty()) {
    mail = "mailto:nobody@tarnwick.invalid";
  }
  // Each link fills half of the page, so a click anywhere in that half follows it.
  return pageStart(identity, "Tarnwick links", "#2a2f3a") +
         "<a id=\"web\" target=\"_blank\" href=\"" + escapeHTML(web) +
         "\" style=\"display:block;height:50%;background:#30507a;color:#fff\">web link</a>\n"
         "<a id=\"mail\" target=\"_blank\" href=\"" +
         escapeHTML(mail) +
         "\" style=\"display:block;height:50%;background:#7a3050;color:#fff\">mail link</a>\n"
         "<script>document.addEventListener('click', (event) => {\n"
         "  const link = event.target.closest('a');\n"
         "  tarnwickLog({event: 'click', id: link ? link.id : null});\n"
         "}, true);</script>" +
         pageEnd;
}

std::string pastePage(const PageIdentity& identity, const Query& query) {
  std::string kind = queryValue(query, "field");
  std::string value = queryValue(query, "value");
  std::string start = queryValue(query, "start");
  std::string end = queryValue(query, "end");
  std::string field;
  std::string attributes = " id=\"field\" class=\"big\"";
  if (kind == "readonly") {
    attributes += " readonly";
  } else if (kind == "disabled") {
    attributes += " disabled";
  }
  if (kind == "textarea") {
    field = "<textarea" + attributes + " rows=\"6\">" + escapeHTML(value) + "</textarea>";
  } else {
    field = "<input type=\"text\"" + attributes + " value=\"" + escapeHTML(value) + "\">";
  }
  return pageStart(identity, "Tarnwick paste", "#2a2f3a") + "<h1>Paste test</h1>\n" + field +
         "\n<script>\n"
         "const field = document.getElementById('field');\n"
         "field.addEventListener('input', (event) => tarnwickLog({event: 'input',\n"
         "  inputType: event.inputType === undefined ? null : event.inputType,\n"
         "  data: event.data === undefined ? null : event.data, value: field.value,\n"
         "  selectionStart: field.selectionStart, selectionEnd: field.selectionEnd}));\n"
         "addEventListener('load', () => {\n"
         "  field.focus();\n"
         "  const start = " +
         scriptString(start) + ", end = " + scriptString(end) +
         ";\n"
         "  if (start !== '') field.setSelectionRange(Number(start), Number(end || start));\n"
         "  tarnwickLog({event: 'paste-ready', value: field.value,\n"
         "    selectionStart: field.selectionStart, selectionEnd: field.selectionEnd});\n"
         "});\n"
         "</script>" +
         pageEnd;
}

std::string filePage(const PageIdentity& identity, const Query& query) {
  std::string multiple = queryValue(query, "multiple") == "1" ? " multiple" : "";
  return pageStart(identity, "Tarnwick file", "#2a2f3a") +
         "<input type=\"file\" id=\"file\" class=\"big\" style=\"height:90%\"" + multiple +
         ">\n"
         "<script>\n"
         "const input = document.getElementById('file');\n"
         "input.addEventListener('change', () => tarnwickLog({event: 'file-change',\n"
         "  names: Array.from(input.files, (file) => file.name)}));\n"
         "input.addEventListener('cancel', () => tarnwickLog({event: 'file-cancel'}));\n"
         "</script>" +
         pageEnd;
}

}  // namespace

std::string escapeHTML(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string interfacePage(const PageIdentity& identity) {
  return pageStart(identity, "Tarnwick Connector", "#20324a") + "<h1>Tarnwick Connector " +
         escapeHTML(identity.version) +
         "</h1>\n<p id=\"status\">The local interface is ready.</p>\n"
         "<button id=\"unlock\" onclick=\"tarnwickUnlock(tarnwickRequestID())\">Unlock</button>\n"
         // The shell's answer, shown as it arrives, so the demo shows the whole round trip.
         "<p id=\"unlock-answer\"></p>\n"
         "<script>addEventListener('tarnwick-financial-unlock', (event) => {\n"
         "  const detail = event.detail || {};\n"
         "  document.getElementById('unlock-answer').textContent =\n"
         "    'Unlock answer: request ' + detail.request_id + ', ok ' + detail.ok;\n"
         "});</script>" +
         pageEnd;
}

std::string pairingPage(const PageIdentity& identity, const Query& query) {
  std::string items;
  for (const char* name : {"server", "code", "completion_url", "completion_token"}) {
    items += "<dt>" + std::string(name) + "</dt><dd id=\"" + name + "\">" +
             escapeHTML(queryValue(query, name)) + "</dd>\n";
  }
  return pageStart(identity, "Tarnwick pairing", "#203a32") + "<h1>Pair this Mac</h1>\n<dl>\n" +
         items + "</dl>" + pageEnd;
}

std::string testPage(const PageIdentity& identity, const std::string& name, const Query& query,
                     bool* found) {
  *found = true;
  if (name == "act") {
    return actPage(identity, query);
  }
  if (name == "frame") {
    return framePage(identity, query);
  }
  if (name == "links") {
    return linksPage(identity, query);
  }
  if (name == "paste") {
    return pastePage(identity, query);
  }
  if (name == "file") {
    return filePage(identity, query);
  }
  *found = false;
  return {};
}

const std::string& commonScript() {
  static const std::string script = R"JS((() => {
  "use strict";
  const isTop = window.top === window;

  // Every page reports what happened to the Connector, which keeps one log for all its origins.
  window.tarnwickLog = (entry) => {
    const record = Object.assign({origin: self.origin, path: location.pathname, isTop}, entry);
    return fetch("/test/log", {method: "POST", headers: {"Content-Type": "application/json"},
                               body: JSON.stringify(record)}).catch(() => {});
  };

  const handler = () => window.webkit && window.webkit.messageHandlers &&
                        window.webkit.messageHandlers.tarnwickFinancialUnlock;

  window.tarnwickRequestID = () => "req-" + Math.random().toString(36).slice(2, 12);

  window.tarnwickUnlock = (requestID, via) => {
    const target = handler();
    if (!target) {
      tarnwickLog({event: "unlock-sent", requestID, sent: false});
      return;
    }
    const body = {request_id: requestID};
    if (via === "prototype") {
      Object.getPrototypeOf(target).postMessage.call(target, body);
    } else {
      target.postMessage(body);
    }
    tarnwickLog({event: "unlock-sent", requestID, sent: true, via: via || "direct"});
  };

  window.addEventListener("tarnwick-financial-unlock", (event) => {
    tarnwickLog({event: "unlock-reply", detail: event.detail});
  });

  // The page's own dialog function of the kind, reached the way `via` names.
  const dialogFunction = (kind, via) => {
    if (via === "prototype") {
      for (let object = Object.getPrototypeOf(window); object; object = Object.getPrototypeOf(object)) {
        const descriptor = Object.getOwnPropertyDescriptor(object, kind);
        if (descriptor && typeof descriptor.value === "function") {
          return (text) => descriptor.value.call(window, text);
        }
      }
      return null;
    }
    if (via === "fresh-frame") {
      const frame = document.createElement("iframe");
      document.body.appendChild(frame);
      const original = frame.contentWindow[kind];
      return (text) => original.call(frame.contentWindow, text);
    }
    if (via === "parent") {
      return (text) => window.parent[kind](text);
    }
    return (text) => window[kind](text);
  };

  const act = (params) => {
    const action = params.get("do");
    const message = params.get("message") || "";
    const via = params.get("via") || "direct";
    const label = params.get("label") || (isTop ? "main" : "frame");
    if (action === "alert" || action === "confirm" || action === "prompt") {
      const dialog = dialogFunction(action, via);
      if (!dialog) {
        tarnwickLog({event: "dialog", kind: action, via, label, message, unavailable: true});
        return;
      }
      const started = performance.now();
      let result = null;
      let error = null;
      try {
        const value = dialog(message);
        result = value === undefined ? null : value;
      } catch (caught) {
        error = String(caught);
      }
      tarnwickLog({event: "dialog", kind: action, via, label, message, result, error,
                   elapsed: performance.now() - started});
    } else if (action === "unlock") {
      tarnwickUnlock(params.get("request_id") || tarnwickRequestID(), via);
    } else if (action === "media") {
      const constraints = {audio: params.get("audio") === "1", video: params.get("video") === "1"};
      if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) {
        tarnwickLog({event: "media", label, result: "unavailable"});
        return;
      }
      navigator.mediaDevices.getUserMedia(constraints).then((stream) => {
        const kinds = stream.getTracks().map((track) => track.kind);
        stream.getTracks().forEach((track) => track.stop());
        tarnwickLog({event: "media", label, result: "granted", kinds});
      }, (error) => tarnwickLog({event: "media", label, result: "denied", error: error.name}));
    } else if (action === "open") {
      const opened = window.open(params.get("url") || "https://tarnwick.invalid/opened");
      tarnwickLog({event: "open", label, opened: opened !== null});
    }
  };

  window.tarnwickAct = (params) => {
    if (params.get("delay") === "now") {
      act(params);
      return;
    }
    const delay = Number(params.get("delay") || "150");
    const run = () => setTimeout(() => act(params), delay);
    if (document.readyState === "complete") {
      run();
    } else {
      window.addEventListener("load", run);
    }
  };

  const fieldValues = () => {
    const values = {};
    document.querySelectorAll("input,textarea").forEach((element) => {
      if (element.id) {
        values[element.id] = element.type === "file" ? null : element.value;
      }
    });
    return values;
  };

  const perform = (command) => {
    if (command.action === "navigate") {
      location.href = command.url;
    } else if (command.action === "act") {
      tarnwickAct(new URLSearchParams(command.query || ""));
    } else if (command.action === "report") {
      const active = document.activeElement;
      tarnwickLog({event: "report", fields: fieldValues(), active: active && active.id ? active.id : null,
                   title: document.title});
    }
  };

  document.addEventListener("DOMContentLoaded", () => {
    const meta = (name) => {
      const element = document.querySelector('meta[name="' + name + '"]');
      return element ? element.content : null;
    };
    tarnwickLog({event: "loaded", search: location.search, title: document.title,
                 version: meta("tarnwick-client-version")});
  });

  // Top-level pages take commands from the tests, one at a time.
  if (isTop) {
    const poll = () => {
      fetch("/test/command", {cache: "no-store"})
          .then((response) => response.status === 200 ? response.json() : null)
          .then((command) => { if (command) perform(command); })
          .catch(() => {})
          .finally(() => setTimeout(poll, 200));
    };
    window.addEventListener("load", poll);
  }
})();
)JS";
  return script;
}

}  // namespace tarnwick::standin

// The web-process extension that says which frame acts.
//
// The UI process hears of an alert, a confirm, a script message, an open panel or a media request
// without learning which frame raised it. Here, in the web process, each realm (one per frame and
// document) gets page functions that know their frame: before a call can raise such an event they
// send the web view a report naming the frame, and a done message once the call has returned. The
// page-side replacements are installed before any page script runs, so the engine's originals are
// held only by these closures; a page that reaches an engine path some other way raises an event
// with no report, which the UI process refuses.
//
// A frame's origin is read in an isolated script world, where the page cannot change what
// `self.origin` answers.

#include <webkit2/webkit-web-extension.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/GLibHolders.h"
#include "platform/linux/webview/FrameReportProtocol.h"

namespace {

namespace reports = tarnwick::platform::linux_desktop::frame_reports;
using tarnwick::platform::linux_desktop::GCharPtr;
using tarnwick::platform::linux_desktop::GFree;
using tarnwick::platform::linux_desktop::GObjectPtr;
using tarnwick::platform::linux_desktop::sunk;

WebKitScriptWorld* isolatedWorld = nullptr;
std::vector<std::string> handlerNames;
// Serial numbers pair a report with its done message; one web process counts for all its frames.
std::uint64_t nextSerial = 1;

// What one realm's report functions say about it. A realm's frame and origin do not change.
struct RealmReporter {
  GWeakRef page;
  std::uint64_t frameID = 0;
  bool isMainFrame = false;
  std::string origin;

  RealmReporter() { g_weak_ref_init(&page, nullptr); }
  ~RealmReporter() { g_weak_ref_clear(&page); }
  RealmReporter(const RealmReporter&) = delete;
  RealmReporter& operator=(const RealmReporter&) = delete;
};

using SharedReporter = std::shared_ptr<RealmReporter>;

void send(RealmReporter& reporter, std::string_view name, GVariant* parameters) {
  GObjectPtr<WebKitWebPage> page(static_cast<WebKitWebPage*>(g_weak_ref_get(&reporter.page)));
  if (!page) {
    g_variant_unref(g_variant_ref_sink(parameters));
    return;
  }
  auto message = sunk(webkit_user_message_new(std::string(name).c_str(), parameters));
  webkit_web_page_send_message_to_view(page.get(), message.get(), nullptr, nullptr, nullptr);
}

double reportCallback(const char* kind, const char* text, gpointer data) {
  auto& reporter = **static_cast<SharedReporter*>(data);
  std::uint64_t serial = nextSerial++;
  send(reporter, reports::reportMessage,
       g_variant_new(reports::reportSignature, kind ? kind : "", static_cast<guint64>(serial),
                     static_cast<guint64>(reporter.frameID), reporter.isMainFrame ? TRUE : FALSE,
                     reporter.origin.c_str(), text ? text : ""));
  return static_cast<double>(serial);
}

void doneCallback(const char* kind, double serial, gpointer data) {
  auto& reporter = **static_cast<SharedReporter*>(data);
  if (serial < 1) {
    return;
  }
  send(reporter, reports::doneMessage,
       g_variant_new(reports::doneSignature, kind ? kind : "", static_cast<guint64>(serial)));
}

void deleteReporter(gpointer data) {
  delete static_cast<SharedReporter*>(data);
}

JSCValue* reportFunction(JSCContext* context, const SharedReporter& reporter) {
  return jsc_value_new_function(context, "report", G_CALLBACK(reportCallback),
                                new SharedReporter(reporter), deleteReporter, G_TYPE_DOUBLE, 2,
                                G_TYPE_STRING, G_TYPE_STRING);
}

JSCValue* doneFunction(JSCContext* context, const SharedReporter& reporter) {
  return jsc_value_new_function(context, "done", G_CALLBACK(doneCallback),
                                new SharedReporter(reporter), deleteReporter, G_TYPE_NONE, 2,
                                G_TYPE_STRING, G_TYPE_DOUBLE);
}

// Runs in the page's world before any page script: replaces the functions that can raise an
// engine event with ones that report first. Everything the replacements use is taken now, while
// the realm is untouched, so later changes by the page cannot reach into them.
constexpr const char* pageWorldScript = R"JS((function (report, done, handlerNames, isMainFrame) {
  "use strict";
  const global = globalThis;
  const apply = Reflect.apply;
  const defineProperty = Object.defineProperty;
  const getOwnPropertyDescriptor = Object.getOwnPropertyDescriptor;
  const getPrototypeOf = Object.getPrototypeOf;
  const toText = String;
  const stringify = JSON.stringify;
  const parse = JSON.parse;
  const PromiseConstructor = Promise;
  const rejectPromise = Promise.reject;
  const DOMExceptionConstructor = DOMException;
  const eventDescriptor = typeof Event === "function" ? getOwnPropertyDescriptor(Event.prototype, "type") : undefined;
  const eventType = eventDescriptor ? eventDescriptor.get : undefined;

  // Keeps the property's attributes: a page may still put its own function there, which is
  // harmless, as the original is out of its reach.
  const replace = (object, name, replacement) => {
    const descriptor = object ? getOwnPropertyDescriptor(object, name) : undefined;
    if (!descriptor || typeof descriptor.value !== "function" || !descriptor.configurable) {
      return;
    }
    defineProperty(object, name, {value: replacement, writable: descriptor.writable,
                                  enumerable: descriptor.enumerable, configurable: true});
  };

  const reporting = (kind, text, call) => {
    const serial = report(kind, text);
    try {
      return call();
    } finally {
      done(kind, serial);
    }
  };

  for (const kind of ["alert", "confirm"]) {
    const original = global[kind];
    replace(global, kind, {[kind](message) {
      if (typeof message === "symbol") {
        return apply(original, global, [message]);  // throws, as it always did
      }
      // Converted once, here: the engine shows exactly the reported text.
      const text = message === undefined ? "" : toText(message);
      return reporting(kind, text, () => apply(original, global, [text]));
    }}[kind]);
  }

  // The replacement goes on the handlers' shared prototype, not on the handler objects: the
  // engine may replace a realm's handler objects after this has run (a new web process learns its
  // handlers again once the first page is up), and every handler of the realm finds it there.
  const handlers = global.webkit && global.webkit.messageHandlers;
  let someHandler;
  for (const name of handlerNames) {
    someHandler = someHandler || (handlers ? handlers[name] : undefined);
  }
  const handlerPrototype = someHandler ? getPrototypeOf(someHandler) : undefined;
  const postMessage = handlerPrototype ? handlerPrototype.postMessage : undefined;
  if (typeof postMessage === "function") {
    replace(handlerPrototype, "postMessage", {postMessage(body) {
      let kind;
      for (const name of handlerNames) {
        if (handlers[name] === this) {
          kind = "message:" + name;
        }
      }
      // The page's getters and toJSON run now, before the report; the engine gets plain data.
      let json;
      try {
        json = stringify(body);
      } catch (_) {
        json = undefined;
      }
      if (kind === undefined || typeof json !== "string") {
        return apply(postMessage, this, [body]);  // not plain data, or no handler of ours: unreported
      }
      const copy = parse(json);
      return reporting(kind, json, () => apply(postMessage, this, [copy]));
    }}.postMessage);
  }

  // Ways a script can open a file chooser. A user's click is seen in the isolated world.
  const reportingMethod = (prototype, name, concerns) => {
    const original = prototype ? prototype[name] : undefined;
    if (typeof original !== "function") {
      return;
    }
    replace(prototype, name, {[name](...args) {
      if (!concerns(args)) {
        return apply(original, this, args);
      }
      return reporting("open-panel", "", () => apply(original, this, args));
    }}[name]);
  };
  const always = () => true;
  const isClick = (args) => {
    if (!eventType) {
      return true;
    }
    try {
      const type = apply(eventType, args[0], []);
      return type === "click" || type === "DOMActivate";
    } catch (_) {
      return false;
    }
  };
  if (typeof HTMLInputElement === "function") {
    reportingMethod(HTMLInputElement.prototype, "showPicker", always);
  }
  if (typeof HTMLElement === "function") {
    reportingMethod(HTMLElement.prototype, "click", always);
  }
  if (typeof EventTarget === "function") {
    reportingMethod(EventTarget.prototype, "dispatchEvent", isClick);
  }

  // The engine asks for media permission only after the call has returned, so its request cannot
  // be paired with a report still in flight. Only the main frame's realm may ask at all; every
  // other realm is refused here, as an untrusted frame would be.
  if (typeof MediaDevices === "function") {
    const original = MediaDevices.prototype.getUserMedia;
    replace(MediaDevices.prototype, "getUserMedia", {getUserMedia(...args) {
      if (!isMainFrame) {
        return apply(rejectPromise, PromiseConstructor,
                     [new DOMExceptionConstructor("The request is not allowed.", "NotAllowedError")]);
      }
      return reporting("media", "", () => apply(original, this, args));
    }}.getUserMedia);
  }
}))JS";

// Runs in the isolated world: a click anywhere in the frame may open a file chooser as its
// default action, after every page listener. One report covers all clicks of one task.
constexpr const char* isolatedWorldScript = R"JS((function (report, done) {
  "use strict";
  let serial = 0;
  addEventListener("click", () => {
    if (serial) {
      return;
    }
    serial = report("open-panel", "");
    setTimeout(() => {
      done("open-panel", serial);
      serial = 0;
    }, 0);
  }, true);
}))JS";

// Calls the function the script evaluates to with `arguments`, which it takes.
void callFactory(JSCContext* context, const char* script, const char* uri,
                 std::vector<JSCValue*> arguments) {
  std::vector<GObjectPtr<JSCValue>> owned(arguments.begin(), arguments.end());
  GObjectPtr<JSCValue> factory(jsc_context_evaluate_with_source_uri(context, script, -1, uri, 1));
  if (factory && jsc_value_is_function(factory.get())) {
    GObjectPtr<JSCValue> unused(jsc_value_function_callv(
        factory.get(), static_cast<guint>(arguments.size()), arguments.data()));
  }
  // A failure leaves the realm with the engine's own functions, whose events go unreported.
  jsc_context_clear_exception(context);
}

void onWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame,
                           gpointer) {
  GObjectPtr<JSCContext> isolated(
      webkit_frame_get_js_context_for_script_world(frame, isolatedWorld));
  auto reporter = std::make_shared<RealmReporter>();
  g_weak_ref_set(&reporter->page, page);
  reporter->frameID = webkit_frame_get_id(frame);
  reporter->isMainFrame = webkit_frame_is_main_frame(frame) != FALSE;
  GObjectPtr<JSCValue> origin(jsc_context_evaluate(isolated.get(), "self.origin", -1));
  if (origin && jsc_value_is_string(origin.get())) {
    reporter->origin = GCharPtr(jsc_value_to_string(origin.get())).get();
  }
  jsc_context_clear_exception(isolated.get());

  callFactory(isolated.get(), isolatedWorldScript, "tarnwick://frame-reports/isolated.js",
              {reportFunction(isolated.get(), reporter), doneFunction(isolated.get(), reporter)});
  isolated.reset();

  GObjectPtr<JSCContext> context(webkit_frame_get_js_context_for_script_world(frame, world));
  std::vector<const char*> names;
  for (const auto& name : handlerNames) {
    names.push_back(name.c_str());
  }
  names.push_back(nullptr);
  JSCValue* nameArray = jsc_value_new_array_from_strv(context.get(), names.data());
  callFactory(
      context.get(), pageWorldScript, "tarnwick://frame-reports/page.js",
      {reportFunction(context.get(), reporter), doneFunction(context.get(), reporter), nameArray,
       jsc_value_new_boolean(context.get(), reporter->isMainFrame ? TRUE : FALSE)});
}

// The web view's scripts that want a result: the result goes back as text, or as nothing when
// the script failed or gave something other than a string.
gboolean onPageMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
  if (std::string_view(webkit_user_message_get_name(message)) != reports::evaluateMessage) {
    return FALSE;
  }
  GVariant* parameters = webkit_user_message_get_parameters(message);
  GCharPtr result;
  if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE(reports::evaluateSignature))) {
    const gchar* script = nullptr;
    g_variant_get(parameters, "(&s)", &script);
    // Deprecated for multi-process frames, which this engine build does not use: the main frame
    // of a page is in its page's process.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    WebKitFrame* mainFrame = webkit_web_page_get_main_frame(page);
    G_GNUC_END_IGNORE_DEPRECATIONS
    GObjectPtr<JSCContext> context(
        webkit_frame_get_js_context_for_script_world(mainFrame, webkit_script_world_get_default()));
    GObjectPtr<JSCValue> value(jsc_context_evaluate(context.get(), script, -1));
    if (value && !jsc_context_get_exception(context.get()) && jsc_value_is_string(value.get())) {
      result.reset(jsc_value_to_string(value.get()));
    }
    value.reset();
    jsc_context_clear_exception(context.get());
  }
  GVariant* reply = g_variant_new("(ms)", result.get());
  webkit_user_message_send_reply(
      message, webkit_user_message_new(std::string(reports::evaluateMessage).c_str(), reply));
  return TRUE;
}

void onPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
  g_signal_connect(page, "user-message-received", G_CALLBACK(onPageMessage), nullptr);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(
    WebKitWebExtension* extension, const GVariant* data) {
  auto* variant = const_cast<GVariant*>(data);
  if (variant && g_variant_is_of_type(variant, G_VARIANT_TYPE(reports::initialisationSignature))) {
    gsize count = 0;
    std::unique_ptr<const gchar*, GFree> names(g_variant_get_strv(variant, &count));
    for (gsize index = 0; index < count; ++index) {
      handlerNames.emplace_back(names.get()[index]);
    }
  }
  isolatedWorld = webkit_script_world_new();
  g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                   G_CALLBACK(onWindowObjectCleared), nullptr);
  g_signal_connect(extension, "page-created", G_CALLBACK(onPageCreated), nullptr);
}

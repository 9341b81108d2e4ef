#include "app/PasteScript.h"

#include <nlohmann/json.hpp>

namespace tarnwick::app {

namespace {

constexpr std::string_view prefix = "(() => {\n  const text = ";

// The text arrives as element 0 of a JSON array literal, so quotes, backslashes, line breaks and
// "</script>" cannot end the string early.
constexpr std::string_view suffix = R"JS([0];
  const element = document.activeElement;
  if (element instanceof HTMLInputElement ||
      element instanceof HTMLTextAreaElement) {
    if (element.disabled || element.readOnly) return false;
    const start = element.selectionStart ?? element.value.length;
    const end = element.selectionEnd ?? start;
    const value = element.value.slice(0, start) + text +
      element.value.slice(end);
    const prototype = element instanceof HTMLTextAreaElement
      ? HTMLTextAreaElement.prototype : HTMLInputElement.prototype;
    const setter = Object.getOwnPropertyDescriptor(
      prototype, "value"
    )?.set;
    if (!setter) return false;
    setter.call(element, value);
    const caret = start + text.length;
    element.setSelectionRange(caret, caret);
    let event;
    try {
      event = new InputEvent("input", {
        bubbles: true,
        inputType: "insertFromPaste",
        data: text
      });
    } catch (_) {
      event = new Event("input", {bubbles: true});
    }
    element.dispatchEvent(event);
    return true;
  }
  if (element?.isContentEditable) {
    return document.execCommand("insertText", false, text);
  }
  return false;
})())JS";

}  // namespace

std::optional<std::string> pasteScript(std::string_view text) {
  std::string json;
  try {
    json = nlohmann::json::array({std::string(text)}).dump();
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // not valid UTF-8
  }
  std::string script(prefix);
  script += json;
  script += suffix;
  return script;
}

}  // namespace tarnwick::app

// A desktop for tests: records every message and prompt in order and answers
// the prompt as scripted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Desktop.h"

namespace velmora::test {

class ScriptedDesktop : public Desktop {
 public:
  // Events in order: "message: <text>" and "prompt: <caption>".
  std::vector<std::string> events;
  // The last form shown, as it arrived.
  PromptForm shownForm;
  // The prompt's answer.
  uint16_t answerEsito = 2;
  std::string answerEdit1;
  std::string answerEdit2;

  void ShowMessage(const std::string& text) override { events.push_back("message: " + text); }
  void ShowPrompt(PromptForm& form) override {
    events.push_back("prompt: " + form.caption);
    shownForm = form;
    form.esito = answerEsito;
    form.edit1 = answerEdit1;
    form.edit2 = answerEdit2;
  }
};

}  // namespace velmora::test

#pragma once

#include <string>

#ifdef MessageBox
#undef MessageBox  // windows.h's name for MessageBoxA or MessageBoxW would rename this class
#endif

namespace dralmin {

// A modal message to the user with one OK button. Show returns once the user has dismissed it.
class MessageBox {
 public:
  virtual ~MessageBox() = default;
  virtual void Show(const std::string& text, const std::string& caption) = 0;
};

// Without a display there is nobody to click OK: the text goes to standard error at once.
class StderrMessageBox final : public MessageBox {
 public:
  void Show(const std::string& text, const std::string& caption) override;
};

}  // namespace dralmin

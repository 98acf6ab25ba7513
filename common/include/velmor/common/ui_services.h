#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmor {

// Message and input boxes, behind an interface so commands run without a screen in tests.
// Every box of the program has an empty title.
class Dialogs {
public:
    enum class Icon { Information, Exclamation };

    virtual ~Dialogs() = default;
    // A notice with an OK button.
    virtual void Tell(std::string_view text, Icon icon = Icon::Information) = 0;
    // A question with Yes and No buttons and the information icon; true for Yes.
    virtual bool AskYesNo(std::string_view text) = 0;
    // An input box with a prompt and a default answer; nullopt when cancelled.
    virtual std::optional<std::string> AskText(std::string_view prompt, std::string_view default_text) = 0;
};

class Clipboard {
public:
    virtual ~Clipboard() = default;
    virtual void Clear() = 0;
    virtual void SetText(std::string_view text) = 0;
};

// Opens an address in the desktop's web browser; false when that could not be started.
class Browser {
public:
    virtual ~Browser() = default;
    virtual bool Open(std::string_view url) = 0;
};

}  // namespace velmor

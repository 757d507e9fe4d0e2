// A walk over an XML text that follows the property tree's reader rule for
// rule: the same name characters, the same ends of comments, CDATA sections,
// processing instructions and declarations, quotes only around attribute
// values. Any shortcut here is a way to hide nesting from the depth limit.
#include "config/XmlLayout.h"

#include <algorithm>
#include <boost/property_tree/xml_parser.hpp>
#include <cstring>
#include <string>
#include <vector>

namespace config_xml {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
// Element names: anything but white space, "/", ">", "?" and NUL.
bool isNameChar(char c) {
    return c != '\0' && !isSpace(c) && c != '/' && c != '>' && c != '?';
}
// Attribute names: the same, and neither "<", "=" nor "!". A quote is a
// name character to the reader, in both.
bool isAttributeNameChar(char c) {
    return isNameChar(c) && c != '<' && c != '=' && c != '!';
}

class Scanner {
  public:
    Scanner(const std::string& text, const std::string& root, int maxDepth, const std::string& path)
        : text_(text),
          // The reader sees the text up to its first NUL only.
          size_(std::min(text.size(), text.find('\0'))),
          root_(root),
          maxDepth_(maxDepth),
          path_(path) {}

    Layout run() {
        if (size_ >= 3 && static_cast<unsigned char>(text_[0]) == 0xEF &&
            static_cast<unsigned char>(text_[1]) == 0xBB &&
            static_cast<unsigned char>(text_[2]) == 0xBF) {
            p_ = 3;
        }
        for (;;) {
            if (open_.empty()) {
                skipSpace();
                if (at(p_) != '<') {
                    return layout_;  // the end, or text where the reader wants "<"
                }
            } else if (at(p_) == '\0') {
                return layout_;
            } else if (at(p_) != '<') {
                while (at(p_) != '<' && at(p_) != '\0') {
                    ++p_;  // character data
                }
                continue;
            } else if (at(p_ + 1) == '/') {
                p_ += 2;
                if (!nameThen(isNameChar, '>')) {
                    return layout_;
                }
                close();
                continue;
            }
            const std::size_t lt = p_++;
            if (!markup(lt)) {
                return layout_;
            }
        }
    }

  private:
    struct Open {
        std::size_t begin;
        bool root;
        bool recorded;  // a root child whose span is being taken
        std::size_t nameBegin;
        std::size_t nameEnd;
    };

    char at(std::size_t i) const { return i < size_ ? text_[i] : '\0'; }
    void skipSpace() {
        while (isSpace(at(p_))) {
            ++p_;
        }
    }
    bool startsWith(std::size_t i, const char* s) const {
        const std::size_t n = std::strlen(s);
        return i + n <= size_ && text_.compare(i, n, s) == 0;
    }
    // Moves past the next `end`; false when the text ends first.
    bool skipPast(const char* end) {
        const std::size_t at = text_.find(end, p_);
        if (at == std::string::npos || at + std::strlen(end) > size_) {
            return false;
        }
        p_ = at + std::strlen(end);
        return true;
    }

    // After "<" at `lt`: a declaration, instruction, comment, CDATA section or
    // element start. False where the reader would fail.
    bool markup(std::size_t lt) {
        if (at(p_) == '?') {
            ++p_;
            return skipPast("?>");  // the XML declaration and instructions alike
        }
        if (at(p_) == '!') {
            if (startsWith(p_, "!--")) {
                p_ += 3;
                return skipPast("-->");
            }
            if (startsWith(p_, "![CDATA[")) {
                p_ += 8;
                return skipPast("]]>");
            }
            if (startsWith(p_, "!DOCTYPE") && isSpace(at(p_ + 8))) {
                p_ += 9;
                while (at(p_) != '>') {
                    if (at(p_) == '\0') {
                        return false;
                    }
                    if (at(p_++) == '[') {
                        for (int brackets = 1; brackets > 0; ++p_) {
                            const char c = at(p_);
                            if (c == '\0') {
                                return false;
                            }
                            brackets += c == '[' ? 1 : c == ']' ? -1 : 0;
                        }
                    }
                }
                ++p_;
                return true;
            }
            ++p_;
            return skipPast(">");  // any other declaration
        }
        const std::size_t nameBegin = p_;
        while (isNameChar(at(p_))) {
            ++p_;
        }
        if (p_ == nameBegin) {
            return false;
        }
        const std::size_t nameEnd = p_;
        skipSpace();
        while (isAttributeNameChar(at(p_))) {
            if (!nameThen(isAttributeNameChar, '=')) {
                return false;
            }
            skipSpace();
            const char quote = at(p_);
            if (quote != '"' && quote != '\'') {
                return false;
            }
            ++p_;
            while (at(p_) != quote && at(p_) != '\0') {
                ++p_;
            }
            if (at(p_) != quote) {
                return false;
            }
            ++p_;
            skipSpace();
        }
        if (at(p_) == '>') {
            ++p_;
            openElement(lt, nameBegin, nameEnd);
            return true;
        }
        if (at(p_) == '/' && at(p_ + 1) == '>') {
            p_ += 2;
            openElement(lt, nameBegin, nameEnd);
            close();
            return true;
        }
        return false;
    }

    // Skips a name and the space after it, then `next`: false, where it
    // stopped, when `next` does not follow.
    bool nameThen(bool (*isName)(char), char next) {
        while (isName(at(p_))) {
            ++p_;
        }
        skipSpace();
        if (at(p_) != next) {
            return false;
        }
        ++p_;
        return true;
    }

    bool named(std::size_t begin, std::size_t end, const std::string& name) const {
        return end - begin == name.size() && text_.compare(begin, name.size(), name) == 0;
    }

    void openElement(std::size_t lt, std::size_t nameBegin, std::size_t nameEnd) {
        if (static_cast<int>(open_.size()) >= maxDepth_) {
            throw boost::property_tree::xml_parser_error(
                "elements nested deeper than " + std::to_string(maxDepth_) + " levels", path_,
                static_cast<unsigned long>(std::count(text_.begin(), text_.begin() + lt, '\n') +
                                           1));
        }
        Open element{lt, false, false, nameBegin, nameEnd};
        if (open_.empty()) {
            element.root = !rootSeen_ && named(nameBegin, nameEnd, root_);
            rootSeen_ = rootSeen_ || element.root;
        } else if (open_.size() == 1 && open_.front().root) {
            const std::string name = text_.substr(nameBegin, nameEnd - nameBegin);
            element.recorded = layout_.rootChildren.count(name) == 0;
            if (element.recorded) {
                layout_.rootChildren[name] = Span{lt, lt};
            }
        }
        open_.push_back(element);
    }

    void close() {
        const Open& element = open_.back();
        if (element.recorded) {
            layout_
                .rootChildren[text_.substr(element.nameBegin, element.nameEnd - element.nameBegin)]
                .end = p_;
        }
        open_.pop_back();
    }

    const std::string& text_;
    const std::size_t size_;
    const std::string& root_;
    const int maxDepth_;
    const std::string& path_;
    std::size_t p_ = 0;
    std::vector<Open> open_;
    bool rootSeen_ = false;
    Layout layout_;
};

}  // namespace

Layout scanDocument(const std::string& text, const std::string& root, int maxDepth,
                    const std::string& path) {
    return Scanner(text, root, maxDepth, path).run();
}

}  // namespace config_xml

// A small strict JSON checker for the fuzz targets: the whole text must be one
// JSON value. Strings may hold any byte from 0x20 up except an unescaped quote
// or backslash (the engine passes bytes above 0x7F through as they are).
#pragma once

#include <cstddef>
#include <string_view>

class json_checker {
public:
    explicit json_checker(std::string_view text) : t_(text) {}

    bool valid() {
        pos_ = 0;
        depth_ = 0;
        return value() && pos_ == t_.size();
    }

private:
    std::string_view t_;
    std::size_t pos_ = 0;
    int depth_ = 0;

    bool at(char c) const { return pos_ < t_.size() && t_[pos_] == c; }
    void skip_space() {
        while (pos_ < t_.size() && (t_[pos_] == ' ' || t_[pos_] == '\n' || t_[pos_] == '\t' || t_[pos_] == '\r')) pos_++;
    }
    bool eat(char c) {
        skip_space();
        if (!at(c)) return false;
        pos_++;
        return true;
    }
    static bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

    bool value() {
        skip_space();
        if (pos_ >= t_.size() || ++depth_ > 64) return false;
        bool ok;
        char c = t_[pos_];
        if (c == '{') ok = object();
        else if (c == '[') ok = array();
        else if (c == '"') ok = string();
        else if (c == '-' || (c >= '0' && c <= '9')) ok = number();
        else ok = literal("true") || literal("false") || literal("null");
        depth_--;
        return ok;
    }
    bool literal(std::string_view word) {
        if (t_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }
    bool object() {
        pos_++;
        if (eat('}')) return true;
        do {
            skip_space();
            if (!at('"') || !string() || !eat(':') || !value()) return false;
        } while (eat(','));
        return eat('}');
    }
    bool array() {
        pos_++;
        if (eat(']')) return true;
        do {
            if (!value()) return false;
        } while (eat(','));
        return eat(']');
    }
    bool string() {
        pos_++;
        while (pos_ < t_.size()) {
            unsigned char c = static_cast<unsigned char>(t_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (pos_ >= t_.size()) return false;
            char e = t_[pos_++];
            if (e == 'u') {
                for (int k = 0; k < 4; k++)
                    if (pos_ >= t_.size() || !is_hex(t_[pos_++])) return false;
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }
    bool number() {
        std::size_t start = pos_;
        if (at('-')) pos_++;
        if (at('0')) pos_++;
        else if (!digits()) return false;
        if (at('.')) {
            pos_++;
            if (!digits()) return false;
        }
        if (at('e') || at('E')) {
            pos_++;
            if (at('+') || at('-')) pos_++;
            if (!digits()) return false;
        }
        return pos_ > start;
    }
    bool digits() {
        std::size_t start = pos_;
        while (pos_ < t_.size() && t_[pos_] >= '0' && t_[pos_] <= '9') pos_++;
        return pos_ > start;
    }
};

// The vornctl fixture and its JSON reader.
#include "ctl_fixture.h"

#include <cctype>
#include <future>
#include <sstream>

namespace ctltest {

namespace {

class Reader {
public:
    explicit Reader(const std::string& text) : m_text(text) {}

    std::optional<JsonObject> object() {
        JsonObject result;
        if (!take('{'))
            return std::nullopt;
        if (take('}'))
            return end(result);
        do {
            auto key = string();
            if (!key || !take(':'))
                return std::nullopt;
            auto value = scalar();
            if (!value || !result.emplace(*key, *value).second)
                return std::nullopt;
        } while (take(','));
        return take('}') ? end(result) : std::nullopt;
    }

private:
    std::optional<JsonObject> end(const JsonObject& result) {
        take('\n');
        return m_pos == m_text.size() ? std::optional<JsonObject>(result) : std::nullopt;
    }
    bool take(char c) {
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    std::optional<std::string> string() {
        if (!take('"'))
            return std::nullopt;
        std::string text;
        while (m_pos < m_text.size() && m_text[m_pos] != '"') {
            char c = m_text[m_pos++];
            if (c == '\\' && m_pos < m_text.size()) {
                const char escaped = m_text[m_pos++];
                if (escaped == 'u' && m_pos + 4 <= m_text.size()) {
                    c = static_cast<char>(std::stoi(m_text.substr(m_pos, 4), nullptr, 16));
                    m_pos += 4;
                } else {
                    c = escaped == 'n' ? '\n' : escaped;
                }
            } else if (static_cast<unsigned char>(c) < 0x20) {
                return std::nullopt;
            }
            text += c;
        }
        return take('"') ? std::optional<std::string>(text) : std::nullopt;
    }
    std::optional<JsonValue> scalar() {
        if (m_pos < m_text.size() && m_text[m_pos] == '"') {
            auto text = string();
            return text ? std::optional<JsonValue>({JsonValue::Kind::String, *text}) : std::nullopt;
        }
        const size_t start = m_pos;
        while (m_pos < m_text.size() && (std::isalnum(static_cast<unsigned char>(m_text[m_pos])) ||
                                         m_text[m_pos] == '-' || m_text[m_pos] == '.'))
            ++m_pos;
        const std::string word = m_text.substr(start, m_pos - start);
        if (word == "true" || word == "false")
            return JsonValue{JsonValue::Kind::Bool, word};
        if (word == "null")
            return JsonValue{JsonValue::Kind::Null, word};
        size_t used = 0;
        try {
            (void)std::stod(word, &used);
        } catch (const std::exception&) {
            return std::nullopt;
        }
        if (used != word.size())
            return std::nullopt;
        return JsonValue{JsonValue::Kind::Number, word};
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

} // namespace

std::optional<JsonObject> parseJsonObject(const std::string& text) {
    return Reader(text).object();
}

Outcome CtlFixture::run(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    Outcome outcome;
    outcome.exit = vornctl::run(args, out, err);
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
}

JsonObject CtlFixture::json(const std::vector<std::string>& args, int expectedExit) {
    std::vector<std::string> all{"--json"};
    all.insert(all.end(), args.begin(), args.end());
    const Outcome outcome = run(all);
    EXPECT_EQ(outcome.exit, expectedExit) << outcome.err;
    auto object = parseJsonObject(outcome.out);
    EXPECT_TRUE(object.has_value()) << "not one JSON object: " << outcome.out;
    return object.value_or(JsonObject{});
}

Outcome CtlFixture::runBlocking(const std::vector<std::string>& args, int64_t ticks) {
    std::future<Outcome> result = std::async(std::launch::async, [&] { return run(args); });
    EXPECT_TRUE(rig().waitForPending(1));
    advance(ticks);
    return result.get();
}

} // namespace ctltest

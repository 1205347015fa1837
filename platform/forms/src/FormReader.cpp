// The reader of form resources: a small tokenizer and a recursive reader of nested objects.

#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Controls.h"
#include "FormResources.h"
#include "StdCtrls.h"
#include "SysUtils.h"

namespace {

std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}
std::map<std::string, const char*>& Registry() {
    static std::map<std::string, const char*> resources;
    return resources;
}

struct TToken {
    enum class TKind { End, Name, Integer, String, Symbol };
    TKind Kind = TKind::End;
    std::string Text;  // Name, String (decoded), Symbol (one character)
    std::int64_t Integer = 0;
    int Line = 1;
};

void AppendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

class TTokenizer {
public:
    TTokenizer(const std::string& text, std::string origin) : FText(text), FOrigin(std::move(origin)) {}

    TToken Next() {
        SkipBlanks();
        TToken token;
        token.Line = FLine;
        if (FPos >= FText.size()) return token;
        const char c = FText[FPos];
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            token.Kind = TToken::TKind::Name;
            while (FPos < FText.size() && IsNameChar(FText[FPos])) token.Text += FText[FPos++];
        } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '$') {
            if ((c == '-' || c == '+') && !StartsNumber(FPos + 1)) {
                token.Kind = TToken::TKind::Symbol;
                token.Text = std::string(1, FText[FPos++]);
            } else {
                ReadInteger(token);
            }
        } else if (c == '\'' || c == '#') {
            token.Kind = TToken::TKind::String;
            ReadString(token);
        } else {
            token.Kind = TToken::TKind::Symbol;
            token.Text = std::string(1, FText[FPos++]);
        }
        return token;
    }

    [[noreturn]] void Fail(int line, const std::string& message) const {
        throw EReadError("Form resource of " + FOrigin + ", line " + IntToStr(line) + ": " + message);
    }

private:
    static bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.'; }

    bool StartsNumber(std::size_t pos) const {
        return pos < FText.size() && (std::isdigit(static_cast<unsigned char>(FText[pos])) || FText[pos] == '$');
    }

    void SkipBlanks() {
        while (FPos < FText.size() && static_cast<unsigned char>(FText[FPos]) <= ' ') {
            if (FText[FPos] == '\n') ++FLine;
            ++FPos;
        }
    }

    void ReadInteger(TToken& token) {
        token.Kind = TToken::TKind::Integer;
        bool negative = false;
        if (FText[FPos] == '-' || FText[FPos] == '+') negative = FText[FPos++] == '-';
        const bool hex = FPos < FText.size() && FText[FPos] == '$';
        if (hex) ++FPos;
        const std::size_t start = FPos;
        unsigned long long value = 0;
        while (FPos < FText.size() && std::isxdigit(static_cast<unsigned char>(FText[FPos]))) {
            const char d = FText[FPos];
            if (!hex && !std::isdigit(static_cast<unsigned char>(d))) break;
            const int digit = std::isdigit(static_cast<unsigned char>(d)) ? d - '0' : std::tolower(d) - 'a' + 10;
            value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
            if (value > 0x7FFFFFFFFFFFFFFFull) Fail(FLine, "the number is too large");
            ++FPos;
        }
        if (FPos == start) Fail(FLine, "a number is expected");
        if (FPos < FText.size() && IsNameChar(FText[FPos])) Fail(FLine, "'" + FText.substr(start, FPos - start + 1) + "' is not a number");
        token.Integer = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    }

    // 'text' with '' for a quote, and #n character codes, in any sequence without blanks.
    void ReadString(TToken& token) {
        while (FPos < FText.size() && (FText[FPos] == '\'' || FText[FPos] == '#')) {
            if (FText[FPos] == '#') {
                ++FPos;
                unsigned long code = 0;
                const std::size_t start = FPos;
                while (FPos < FText.size() && std::isdigit(static_cast<unsigned char>(FText[FPos])) && code <= 0x10FFFF)
                    code = code * 10 + static_cast<unsigned long>(FText[FPos++] - '0');
                if (FPos == start || code > 0x10FFFF) Fail(FLine, "a character code after # is expected");
                AppendUtf8(token.Text, code);
                continue;
            }
            ++FPos;
            for (;;) {
                if (FPos >= FText.size() || FText[FPos] == '\n') Fail(token.Line, "the string is not closed");
                if (FText[FPos] == '\'') {
                    if (FPos + 1 < FText.size() && FText[FPos + 1] == '\'') {
                        token.Text += '\'';
                        FPos += 2;
                        continue;
                    }
                    ++FPos;
                    break;
                }
                token.Text += FText[FPos++];
            }
        }
    }

    const std::string& FText;
    std::string FOrigin;
    std::size_t FPos = 0;
    int FLine = 1;
};

class TResourceReader {
public:
    TResourceReader(TComponent* root, const std::string& text) : FRoot(root), FTokens(text, root->ClassName()) {}

    void Read() {
        FRoot->DefinePublished(FRootTable);
        FRoot->SetLoading(true);
        Advance();
        ReadObject(nullptr);
        if (FToken.Kind != TToken::TKind::End) Fail("text after the end of the form");
        FinishLoading();
    }

private:
    void Advance() { FToken = FTokens.Next(); }
    [[noreturn]] void Fail(const std::string& message) const { FTokens.Fail(FToken.Line, message); }

    std::string ExpectName(const char* what) {
        if (FToken.Kind != TToken::TKind::Name) Fail(std::string(what) + " is expected");
        std::string name = FToken.Text;
        Advance();
        return name;
    }
    void ExpectSymbol(char symbol) {
        if (FToken.Kind != TToken::TKind::Symbol || FToken.Text[0] != symbol) Fail(std::string("'") + symbol + "' is expected");
        Advance();
    }
    bool AtSymbol(char symbol) const { return FToken.Kind == TToken::TKind::Symbol && FToken.Text[0] == symbol; }
    bool AtWord(const char* word) const { return FToken.Kind == TToken::TKind::Name && FToken.Text == word; }

    void ReadObject(TComponent* container) {
        if (!AtWord("object")) Fail("'object' is expected");
        Advance();
        const int line = FToken.Line;
        const std::string name = ExpectName("a component name");
        ExpectSymbol(':');
        const std::string className = ExpectName("a class name");

        TComponent* component = container ? CreateComponent(name, className, container, line) : BindRoot(name, className);
        TPublishedTable ownTable;
        TPublishedTable& table = container ? ownTable : FRootTable;
        if (container) component->DefinePublished(ownTable);

        while (!AtWord("end")) {
            if (FToken.Kind == TToken::TKind::End) Fail("'end' of " + name + " is missing");
            if (AtWord("object")) {
                ReadObject(component);
                continue;
            }
            ReadProperty(name, className, table);
        }
        Advance();
    }

    TComponent* BindRoot(const std::string& name, const std::string& className) {
        if (className != FRoot->ClassName())
            Fail("the resource declares " + className + ", the form is " + FRoot->ClassName());
        FRoot->SetName(name);
        return FRoot;
    }

    TComponent* CreateComponent(const std::string& name, const std::string& className, TComponent* container, int line) {
        TComponent* component = CreateComponentByClassName(className, FRoot);
        if (!component) FTokens.Fail(line, "unknown class " + className + " (of " + name + ")");
        FCreated.push_back(component);
        component->SetLoading(true);
        try {
            component->SetName(name);
        } catch (const std::exception& e) {
            FTokens.Fail(line, name + ": " + e.what());
        }
        if (const auto* bind = FRootTable.FindField(name); bind && !(*bind)(component))
            FTokens.Fail(line, "the field " + name + " of " + FRoot->ClassName() + " does not take a " + className);
        if (auto* control = dynamic_cast<TControl*>(component)) {
            auto* parent = dynamic_cast<TWinControl*>(container);
            if (!parent) FTokens.Fail(line, container->Name() + " cannot hold the control " + name);
            control->SetParent(parent);
        }
        return component;
    }

    void ReadProperty(const std::string& name, const std::string& className, TPublishedTable& table) {
        const int line = FToken.Line;
        const std::string property = ExpectName("a property name");
        ExpectSymbol('=');
        const TStreamValue value = ReadValue();
        const std::string where = name + "." + property + " (" + className + ")";
        if (const auto* bind = table.FindEvent(property)) {
            if (value.Kind != TStreamValue::TKind::Identifier) FTokens.Fail(line, where + ": a handler name is expected");
            const std::any* handler = FRootTable.FindHandler(value.Text);
            if (!handler)
                FTokens.Fail(line, where + ": unknown handler " + value.Text + " (not published by " + FRoot->ClassName() + ")");
            if (!(*bind)(*handler)) FTokens.Fail(line, where + ": the handler " + value.Text + " does not fit this event");
            return;
        }
        const auto* setter = table.FindProperty(property);
        if (!setter) FTokens.Fail(line, "unknown property " + property + " of " + name + " (" + className + ")");
        try {
            (*setter)(value);
        } catch (const std::exception& e) {
            FTokens.Fail(line, where + ": " + e.what());
        }
    }

    TStreamValue ReadValue() {
        TStreamValue value;
        switch (FToken.Kind) {
        case TToken::TKind::Integer:
            value.Kind = TStreamValue::TKind::Integer;
            value.Integer = FToken.Integer;
            Advance();
            return value;
        case TToken::TKind::String:
            value.Kind = TStreamValue::TKind::String;
            value.Text = ReadJoinedString();
            return value;
        case TToken::TKind::Name:
            if (FToken.Text == "True" || FToken.Text == "False") {
                value.Kind = TStreamValue::TKind::Boolean;
                value.Boolean = FToken.Text == "True";
            } else {
                value.Kind = TStreamValue::TKind::Identifier;
                value.Text = FToken.Text;
            }
            Advance();
            return value;
        case TToken::TKind::Symbol:
            if (AtSymbol('[')) return ReadSet();
            if (AtSymbol('(')) return ReadStringList();
            break;
        case TToken::TKind::End: break;
        }
        Fail("a value is expected");
    }

    // Pieces of one string may be joined with + (also across lines).
    std::string ReadJoinedString() {
        std::string text = FToken.Text;
        Advance();
        while (AtSymbol('+')) {
            Advance();
            if (FToken.Kind != TToken::TKind::String) Fail("a string is expected after +");
            text += FToken.Text;
            Advance();
        }
        return text;
    }

    TStreamValue ReadSet() {
        TStreamValue value;
        value.Kind = TStreamValue::TKind::Set;
        Advance();
        while (!AtSymbol(']')) {
            value.Items.push_back(ExpectName("a set member"));
            if (AtSymbol(',')) {
                Advance();
                if (AtSymbol(']')) Fail("a set member is expected");
            } else if (!AtSymbol(']')) {
                Fail("',' or ']' is expected");
            }
        }
        Advance();
        return value;
    }

    TStreamValue ReadStringList() {
        TStreamValue value;
        value.Kind = TStreamValue::TKind::StringList;
        Advance();
        while (!AtSymbol(')')) {
            if (FToken.Kind != TToken::TKind::String) Fail("a string or ')' is expected");
            value.Items.push_back(ReadJoinedString());
        }
        Advance();
        return value;
    }

    void FinishLoading() {
        for (TComponent* component : FCreated) component->SetLoading(false);
        FRoot->SetLoading(false);
        for (TComponent* component : FCreated) component->Loaded();
        FRoot->Loaded();
    }

    TComponent* FRoot;
    TTokenizer FTokens;
    TToken FToken;
    TPublishedTable FRootTable;
    std::vector<TComponent*> FCreated;
};

}  // namespace

void RegisterFormResource(const char* className, const char* text) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    Registry()[className] = text;
}

const char* FindFormResource(const std::string& className) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto it = Registry().find(className);
    return it == Registry().end() ? nullptr : it->second;
}

void ReadComponentResource(TComponent* root, const std::string& text) {
    RegisterStandardControls();
    try {
        TResourceReader(root, text).Read();
    } catch (...) {
        root->SetLoading(false);
        throw;
    }
}

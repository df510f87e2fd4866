#include "database/LiteralParameters.h"

#include <vector>

namespace velora {

namespace {

enum class Kind {
    Word,       // keyword or bare name
    Identifier, // "name", [name], `name`
    String,     // 'text'
    Integer,    // plain decimal, optionally with a leading "-"
    Number,     // any other numeric or blob literal
    Placeholder,
    Comparison,
    Open,
    Close,
    Comma,
    Semicolon,
    Other
};

struct Token {
    Kind kind;
    qsizetype begin;
    qsizetype end;
    int depth = 0;
    int between = -1;        // an AND: the index of the BETWEEN it closes
    bool valuesItem = false; // directly inside a VALUES tuple
};

bool isWordStart(QChar c)
{
    return c.isLetter() || c == u'_' || c.unicode() > 0x7f;
}

bool isWordPart(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c == u'$' || c.unicode() > 0x7f;
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

class Tokens {
public:
    explicit Tokens(const QString &text) : m_text(text) {}

    // False for a text that is not tokenised with confidence (an unclosed
    // quote or comment, numbered or named parameters): it is left unchanged.
    bool read();

    const QString &m_text;
    std::vector<Token> list;

    bool isWord(const Token *token, QLatin1StringView word) const
    {
        return token && token->kind == Kind::Word &&
               QStringView(m_text).sliced(token->begin, token->end - token->begin).compare(word, Qt::CaseInsensitive) ==
                   0;
    }

private:
    bool unaryMinusAllowed() const;
    void markStructure();
};

bool Tokens::unaryMinusAllowed() const
{
    // After an operand a "-" subtracts: "pla_id -1" stays arithmetic.
    if (list.empty())
        return true;
    const Token &previous = list.back();
    switch (previous.kind) {
    case Kind::Comparison:
    case Kind::Open:
    case Kind::Comma: return true;
    case Kind::Word:
        for (const char *word : {"and", "or", "between", "where", "on", "having", "set"})
            if (isWord(&previous, QLatin1StringView(word)))
                return true;
        return false;
    default: return false;
    }
}

bool Tokens::read()
{
    const qsizetype n = m_text.size();
    auto at = [&](qsizetype i) { return i < n ? m_text.at(i) : QChar(); };
    qsizetype i = 0;
    while (i < n) {
        const QChar c = m_text.at(i);
        const qsizetype begin = i;
        if (c.isSpace()) {
            ++i;
            continue;
        }
        if (c == u'-' && at(i + 1) == u'-') {
            while (i < n && m_text.at(i) != u'\n')
                ++i;
            continue;
        }
        if (c == u'/' && at(i + 1) == u'*') {
            const qsizetype close = m_text.indexOf(QLatin1StringView("*/"), i + 2);
            if (close < 0)
                return false;
            i = close + 2;
            continue;
        }
        Kind kind = Kind::Other;
        if (c == u'\'' || c == u'"' || c == u'`' || c == u'[') {
            const QChar closing = c == u'[' ? QChar(u']') : c;
            ++i;
            for (;;) {
                if (i >= n)
                    return false;
                if (m_text.at(i) == closing) {
                    if (closing != u']' && at(i + 1) == closing) {
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                ++i;
            }
            kind = c == u'\'' ? Kind::String : Kind::Identifier;
        } else if (isWordStart(c)) {
            while (i < n && isWordPart(m_text.at(i)))
                ++i;
            kind = Kind::Word;
            if (i - begin == 1 && (c == u'x' || c == u'X') && at(i) == u'\'') {
                // A blob literal X'..' is not text: it stays as written.
                const qsizetype close = m_text.indexOf(u'\'', i + 1);
                if (close < 0)
                    return false;
                i = close + 1;
                kind = Kind::Number;
            }
        } else if (isDigit(c) || (c == u'.' && isDigit(at(i + 1))) ||
                   (c == u'-' && isDigit(at(i + 1)) && unaryMinusAllowed())) {
            ++i;
            while (i < n && isDigit(m_text.at(i)))
                ++i;
            kind = c == u'.' ? Kind::Number : Kind::Integer;
            if (i < n && (isWordPart(m_text.at(i)) || m_text.at(i) == u'.')) {
                // 1.5, 1e-3, 0x1F, 12abc: not a plain integer.
                while (i < n && (isWordPart(m_text.at(i)) || m_text.at(i) == u'.' ||
                                 ((m_text.at(i) == u'+' || m_text.at(i) == u'-') &&
                                  (m_text.at(i - 1) == u'e' || m_text.at(i - 1) == u'E'))))
                    ++i;
                kind = Kind::Number;
            }
        } else if (c == u'?') {
            ++i;
            if (isDigit(at(i)))
                return false;
            kind = Kind::Placeholder;
        } else if ((c == u':' || c == u'@' || c == u'$') && isWordStart(at(i + 1))) {
            return false;
        } else if (c == u'(') {
            ++i;
            kind = Kind::Open;
        } else if (c == u')') {
            ++i;
            kind = Kind::Close;
        } else if (c == u',') {
            ++i;
            kind = Kind::Comma;
        } else if (c == u';') {
            ++i;
            kind = Kind::Semicolon;
        } else if (c == u'<' || c == u'>' || c == u'=' || c == u'!') {
            const QChar next = at(i + 1);
            if ((c == u'<' && next == u'<') || (c == u'>' && next == u'>')) {
                i += 2;
            } else if ((c == u'<' && (next == u'=' || next == u'>')) || (c == u'>' && next == u'=') ||
                       (c == u'=' && next == u'=') || (c == u'!' && next == u'=')) {
                i += 2;
                kind = Kind::Comparison;
            } else {
                ++i;
                kind = c == u'!' ? Kind::Other : Kind::Comparison;
            }
        } else if (c == u'|' && at(i + 1) == u'|') {
            i += 2;
        } else {
            ++i;
        }
        list.push_back(Token{kind, begin, i});
    }
    markStructure();
    return true;
}

void Tokens::markStructure()
{
    int depth = 0;
    std::vector<int> openBetween{-1}; // per depth: a BETWEEN waiting for its AND
    int tupleDepth = -1;
    bool valuesNext = false;
    bool closedTuple = false;
    for (int k = 0; k < int(list.size()); ++k) {
        Token &token = list[k];
        if (token.kind == Kind::Open) {
            ++depth;
            if (openBetween.size() <= size_t(depth))
                openBetween.resize(depth + 1, -1);
            openBetween[depth] = -1;
            if (valuesNext)
                tupleDepth = depth;
            valuesNext = false;
            closedTuple = false;
            token.depth = depth;
            continue;
        }
        if (token.kind == Kind::Close) {
            token.depth = depth;
            closedTuple = depth == tupleDepth;
            if (closedTuple)
                tupleDepth = -1;
            if (depth > 0)
                --depth;
            valuesNext = false;
            continue;
        }
        token.depth = depth;
        token.valuesItem = depth == tupleDepth;
        if (token.kind == Kind::Comma && closedTuple) {
            valuesNext = true; // the next row of a multi-row VALUES
            closedTuple = false;
            continue;
        }
        closedTuple = false;
        valuesNext = isWord(&token, QLatin1StringView("values"));
        if (isWord(&token, QLatin1StringView("between"))) {
            openBetween[depth] = k;
        } else if (isWord(&token, QLatin1StringView("and")) && openBetween[depth] >= 0) {
            token.between = openBetween[depth];
            openBetween[depth] = -1;
        }
    }
}

bool isLiteral(const Token *token)
{
    return token && (token->kind == Kind::String || token->kind == Kind::Integer || token->kind == Kind::Number);
}

class Decider {
public:
    explicit Decider(const Tokens &tokens) : m_tokens(tokens), m_list(tokens.list) {}

    bool parameterise(int k) const
    {
        const Token &token = m_list[k];
        const Token *previous = at(k - 1);
        const Token *next = at(k + 1);
        if (token.valuesItem && previous && next && (previous->kind == Kind::Open || previous->kind == Kind::Comma) &&
            (next->kind == Kind::Comma || next->kind == Kind::Close))
            return true;
        // Right of a comparison or of SET's "=": the left operand is just before.
        if (previous && previous->kind == Kind::Comparison && endsOperand(next))
            return !isLiteral(at(k - 2));
        if (isWord(previous, "between") && next && next->between == k - 1)
            return !isLiteral(at(k - 2));
        if (previous && previous->between >= 0 && endsOperand(next))
            return !isLiteral(at(previous->between - 1));
        // Left of a comparison or of BETWEEN: the right operand (or the lower
        // bound) is just after.
        if (next && (next->kind == Kind::Comparison || isWord(next, "between")) && startsOperand(previous))
            return !isLiteral(at(k + 2));
        return false;
    }

private:
    const Token *at(int k) const { return k >= 0 && k < int(m_list.size()) ? &m_list[k] : nullptr; }
    bool isWord(const Token *token, const char *word) const { return m_tokens.isWord(token, QLatin1StringView(word)); }

    // What may follow a literal that is a whole operand (not "5 + x", "5 COLLATE ...").
    bool endsOperand(const Token *next) const
    {
        if (!next || next->kind == Kind::Close || next->kind == Kind::Comma || next->kind == Kind::Semicolon)
            return true;
        for (const char *word :
             {"and", "or", "where", "order", "group", "limit", "having", "union", "except", "intersect"})
            if (isWord(next, word))
                return true;
        return false;
    }

    bool startsOperand(const Token *previous) const
    {
        if (!previous)
            return false;
        if (previous->kind == Kind::Open)
            return true;
        if (isWord(previous, "and"))
            return previous->between < 0;
        for (const char *word : {"where", "or", "on", "having"})
            if (isWord(previous, word))
                return true;
        return false;
    }

    const Tokens &m_tokens;
    const std::vector<Token> &m_list;
};

// A statement without a quote and without a number outside a name has no
// literal to take out. The row inserts and updates of a post name a hundred
// columns and only have placeholders: they skip the tokenising.
bool mayHoldLiterals(const QString &statement)
{
    bool inWord = false;
    for (const QChar c : statement) {
        if (c == u'\'' || (!inWord && isDigit(c)))
            return true;
        inWord = isWordPart(c);
    }
    return false;
}

} // namespace

StatementWithValues parameteriseLiterals(const QString &statement, const QVariantList &bindings)
{
    if (!mayHoldLiterals(statement))
        return {statement, bindings};
    Tokens tokens(statement);
    if (!tokens.read())
        return {statement, bindings};
    qsizetype placeholders = 0;
    for (const Token &token : tokens.list)
        if (token.kind == Kind::Placeholder)
            ++placeholders;
    // Values that do not match the placeholders are the database's to report.
    if (placeholders != bindings.size())
        return {statement, bindings};

    const Decider decider(tokens);
    StatementWithValues result;
    qsizetype copied = 0;
    qsizetype nextBinding = 0;
    bool changed = false;
    for (int k = 0; k < int(tokens.list.size()); ++k) {
        const Token &token = tokens.list[k];
        if (token.kind == Kind::Placeholder) {
            result.bindings << bindings.at(nextBinding++);
            continue;
        }
        if (token.kind != Kind::String && token.kind != Kind::Integer)
            continue;
        if (!decider.parameterise(k))
            continue;
        const QStringView literal = QStringView(statement).sliced(token.begin, token.end - token.begin);
        QVariant value;
        if (token.kind == Kind::String) {
            value = literal.sliced(1, literal.size() - 2)
                        .toString()
                        .replace(QLatin1StringView("''"), QLatin1StringView("'"));
        } else {
            bool ok = false;
            const qint64 number = literal.toLongLong(&ok);
            if (!ok)
                continue; // beyond 64 bits SQLite reads it as a real: it stays text
            value = number;
        }
        if (!changed)
            result.text.reserve(statement.size());
        changed = true;
        result.text += QStringView(statement).sliced(copied, token.begin - copied);
        result.text += u'?';
        copied = token.end;
        result.bindings << value;
    }
    if (!changed)
        return {statement, bindings};
    result.text += QStringView(statement).sliced(copied);
    return result;
}

} // namespace velora

#include "shell/XmlTree.h"

#include <QXmlStreamReader>

namespace velora {

namespace {

// A settings file is three levels deep. Writing the tree back, and tearing it
// down, recurse once per level, and each level is indented by two more
// blanks: a file nested thousands of levels deep would overflow the stack at
// the end of the run or grow quadratically with every rewrite. Such a file is
// treated like any other that cannot be read.
constexpr qsizetype kMaxElementDepth = 256;

} // namespace

XmlNode XmlNode::element(const QString &name)
{
    XmlNode node;
    node.type = Type::Element;
    node.name = name;
    return node;
}

XmlNode *XmlNode::childElement(const QString &elementName)
{
    for (XmlNode &child : children) {
        if (child.type == Type::Element && child.name == elementName)
            return &child;
    }
    return nullptr;
}

const XmlNode *XmlNode::childElement(const QString &elementName) const
{
    return const_cast<XmlNode *>(this)->childElement(elementName);
}

XmlNode *XmlNode::rootElement()
{
    for (XmlNode &child : children) {
        if (child.type == Type::Element)
            return &child;
    }
    return nullptr;
}

QString XmlNode::elementText() const
{
    QString result;
    for (const XmlNode &child : children) {
        if (child.type == Type::Text)
            result += child.text;
    }
    return result;
}

void XmlNode::setElementText(const QString &value)
{
    children.clear();
    if (value.isEmpty())
        return;
    XmlNode text;
    text.type = Type::Text;
    text.text = value;
    children.push_back(std::move(text));
}

bool parseXml(const QByteArray &bytes, XmlNode &document, QString *error)
{
    document = XmlNode();
    document.type = XmlNode::Type::Document;
    QXmlStreamReader reader(bytes);
    reader.setNamespaceProcessing(false);
    std::vector<XmlNode *> open{&document};
    auto appendChild = [&](XmlNode node) -> XmlNode & {
        XmlNode *parent = open.back();
        // Adjacent text pieces (text, CDATA, resolved entities) form one value.
        if (node.type == XmlNode::Type::Text && !parent->children.empty() &&
            parent->children.back().type == XmlNode::Type::Text) {
            parent->children.back().text += node.text;
            return parent->children.back();
        }
        parent->children.push_back(std::move(node));
        return parent->children.back();
    };
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            if (qsizetype(open.size()) > kMaxElementDepth) {
                reader.raiseError(QStringLiteral("Elements nested more than %1 levels deep").arg(kMaxElementDepth));
                break;
            }
            XmlNode node = XmlNode::element(reader.qualifiedName().toString());
            for (const QXmlStreamAttribute &attribute : reader.attributes())
                node.attributes.append({attribute.qualifiedName().toString(), attribute.value().toString()});
            // The parent's vector may grow later, but only the innermost open
            // element receives children, so these pointers stay valid.
            open.push_back(&appendChild(std::move(node)));
            break;
        }
        case QXmlStreamReader::EndElement: open.pop_back(); break;
        case QXmlStreamReader::Characters:
            // Outside the root element only blanks can occur; they are layout.
            if (open.size() > 1) {
                XmlNode node;
                node.type = XmlNode::Type::Text;
                node.text = reader.text().toString();
                appendChild(std::move(node));
            }
            break;
        case QXmlStreamReader::Comment: {
            XmlNode node;
            node.type = XmlNode::Type::Comment;
            node.text = reader.text().toString();
            appendChild(std::move(node));
            break;
        }
        case QXmlStreamReader::ProcessingInstruction: {
            XmlNode node;
            node.type = XmlNode::Type::ProcessingInstruction;
            node.name = reader.processingInstructionTarget().toString();
            node.text = reader.processingInstructionData().toString();
            appendChild(std::move(node));
            break;
        }
        case QXmlStreamReader::DTD: {
            XmlNode node;
            node.type = XmlNode::Type::Doctype;
            node.text = reader.text().toString();
            appendChild(std::move(node));
            break;
        }
        default: break;
        }
    }
    if (reader.hasError()) {
        if (error)
            *error = QStringLiteral("line %1, column %2: %3")
                         .arg(reader.lineNumber())
                         .arg(reader.columnNumber())
                         .arg(reader.errorString());
        return false;
    }
    return true;
}

namespace {

bool isWhitespaceOnly(const QString &text)
{
    for (QChar c : text) {
        if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
            return false;
    }
    return true;
}

// Markup (names, comments, processing instructions, the doctype) cannot hold
// character references. A "?" for a character outside Latin-1 there would
// make a name that no reader accepts, and the next start would find the file
// unreadable and lose every setting: a document holding such markup is
// written in UTF-8 instead (see writeXml).
bool latin1Only(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() > 0xFF)
            return false;
    }
    return true;
}

bool markupFitsLatin1(const XmlNode &node)
{
    if (!latin1Only(node.name) || (node.type != XmlNode::Type::Text && !latin1Only(node.text)))
        return false;
    for (const auto &attribute : node.attributes) {
        if (!latin1Only(attribute.first))
            return false;
    }
    for (const XmlNode &child : node.children) {
        if (!markupFitsLatin1(child))
            return false;
    }
    return true;
}

void appendRaw(QByteArray &out, const QString &text, bool utf8)
{
    out += utf8 ? text.toUtf8() : text.toLatin1();
}

// Character data: escapes for the markup characters, Latin-1 as bytes, the rest
// as numeric character references. Characters XML 1.0 cannot hold at all
// (most control characters, lone surrogates) become "?" rather than making the
// file unreadable at the next start.
void appendEscaped(QByteArray &out, const QString &text, bool attribute, bool utf8)
{
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < n && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        } else if (QChar::isSurrogate(c)) {
            out += '?';
            continue;
        }
        switch (c) {
        case U'&': out += "&amp;"; continue;
        case U'<': out += "&lt;"; continue;
        case U'>': out += "&gt;"; continue;
        case U'"': out += attribute ? "&quot;" : "\""; continue;
        case U'\r': out += "&#13;"; continue; // a raw CR would be read back as LF
        case U'\t':
        case U'\n':
            if (attribute)
                out += "&#" + QByteArray::number(static_cast<int>(c)) + ';';
            else
                out += static_cast<char>(c);
            continue;
        default: break;
        }
        if (c < 0x20 || c == 0xFFFE || c == 0xFFFF)
            out += '?';
        else if (c < 0x80 || (c <= 0xFF && !utf8))
            out += static_cast<char>(c);
        else if (c <= 0xFF)
            out += QString(QChar(char16_t(c))).toUtf8();
        else
            out += "&#" + QByteArray::number(static_cast<uint>(c)) + ';';
    }
}

void writeNode(QByteArray &out, const XmlNode &node, int depth, bool indent, bool utf8)
{
    const QByteArray pad = indent ? QByteArray(depth * 2, ' ') : QByteArray();
    const char *newline = indent ? "\n" : "";
    switch (node.type) {
    case XmlNode::Type::Document:
        for (const XmlNode &child : node.children)
            writeNode(out, child, 0, true, utf8);
        return;
    case XmlNode::Type::Text: appendEscaped(out, node.text, false, utf8); return;
    case XmlNode::Type::Comment:
        out += pad + "<!--";
        appendRaw(out, node.text, utf8);
        out += QByteArray("-->") + newline;
        return;
    case XmlNode::Type::ProcessingInstruction:
        out += pad + "<?";
        appendRaw(out, node.name, utf8);
        if (!node.text.isEmpty()) {
            out += ' ';
            appendRaw(out, node.text, utf8);
        }
        out += QByteArray("?>") + newline;
        return;
    case XmlNode::Type::Doctype:
        // The reader hands the doctype over with the line break before it,
        // which would add one more line to the file at every save.
        out += pad;
        appendRaw(out, node.text.trimmed(), utf8);
        out += newline;
        return;
    case XmlNode::Type::Element: break;
    }

    out += pad + '<';
    appendRaw(out, node.name, utf8);
    for (const auto &[name, value] : node.attributes) {
        out += ' ';
        appendRaw(out, name, utf8);
        out += "=\"";
        appendEscaped(out, value, true, utf8);
        out += '"';
    }
    if (node.children.empty()) {
        out += QByteArray("/>") + newline;
        return;
    }
    out += '>';

    bool hasElements = false;
    bool hasSignificantText = false;
    for (const XmlNode &child : node.children) {
        if (child.type == XmlNode::Type::Text)
            hasSignificantText = hasSignificantText || !isWhitespaceOnly(child.text);
        else
            hasElements = true;
    }
    // Indentation is only added where it cannot change a value: inside elements
    // that hold elements and no text of their own. A value element keeps its
    // text exactly, and mixed content is written as it stands.
    if (hasElements && !hasSignificantText && indent) {
        out += '\n';
        for (const XmlNode &child : node.children) {
            if (child.type != XmlNode::Type::Text)
                writeNode(out, child, depth + 1, true, utf8);
        }
        out += pad;
    } else {
        for (const XmlNode &child : node.children)
            writeNode(out, child, 0, false, utf8);
    }
    out += "</";
    appendRaw(out, node.name, utf8);
    out += QByteArray(">") + newline;
}

} // namespace

QByteArray writeXml(const XmlNode &document)
{
    const bool utf8 = !markupFitsLatin1(document);
    QByteArray out(utf8 ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        : "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n");
    writeNode(out, document, 0, true, utf8);
    return out;
}

} // namespace velora

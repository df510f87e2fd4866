#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <vector>

namespace velora {

// A small in-memory XML document for the settings file. It keeps everything it
// does not understand (other elements, attributes, comments, processing
// instructions) so that rewriting the file leaves them in place, and it keeps
// the text of value elements exactly, blanks included. Qt's own DOM drops
// whitespace-only text and Qt's stream writer only writes UTF-8, while the file
// is Latin-1 by tradition; hence this tree.
struct XmlNode {
    enum class Type {
        Document,
        Element,
        Text,
        Comment,
        ProcessingInstruction,
        Doctype
    };

    Type type = Type::Element;
    QString name; // element name, processing-instruction target
    QString text; // text, comment, processing-instruction data, doctype
    QList<QPair<QString, QString>> attributes;
    std::vector<XmlNode> children;

    static XmlNode element(const QString &name);

    // First child element of that name, or nullptr.
    XmlNode *childElement(const QString &elementName);
    const XmlNode *childElement(const QString &elementName) const;
    // The document's root element, or nullptr.
    XmlNode *rootElement();
    // Concatenated text of the direct text children.
    QString elementText() const;
    // The element's content becomes this text (no content when empty).
    void setElementText(const QString &value);
};

// Parses bytes into a document node. On failure returns false and says why in
// *error ("line L, column C: message").
bool parseXml(const QByteArray &bytes, XmlNode &document, QString *error);

// The document as the settings file holds it: XML declaration with encoding
// iso-8859-1, indented elements, characters outside Latin-1 as numeric
// character references. Names, comments, processing instructions and the
// doctype cannot hold such references: a document whose markup has
// characters outside Latin-1 is written in UTF-8 (and declared so) instead.
QByteArray writeXml(const XmlNode &document);

} // namespace velora

#include "core/PropertiesXml.h"

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <fmt/format.h>

#include "core/AtomicFile.h"
#include "core/FileSystem.h"
#include "core/Log.h"
#include "core/Properties.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "Properties";

/// True when the text survives as an XML 1.0 attribute value: valid UTF-8 that Qt converts both ways unchanged
/// (Qt drops a leading byte-order mark and replaces invalid bytes) and only characters of XML's Char production.
bool isXmlText(const std::string& text)
{
    const QString q = QString::fromStdString(text);
    if (q.toStdString() != text)
        return false;
    for (const uint c : q.toUcs4())
    {
        const bool valid = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
        if (!valid)
            return false;
    }
    return true;
}

bool isBlank(const QStringRef& text)
{
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) {
                           return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
                                  c == QLatin1Char('\r');
                       });
}

QString encoded(const std::string& text, bool base64)
{
    if (base64)
        return QString::fromLatin1(QByteArray::fromStdString(text).toBase64());
    return QString::fromStdString(text);
}

bool decoded(const QStringRef& text, bool base64, std::string& result)
{
    if (!base64)
    {
        result = text.toString().toStdString();
        return true;
    }
    const auto decoding = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::Base64Encoding |
                                                                            QByteArray::AbortOnBase64DecodingErrors);
    if (decoding.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return false;
    result = decoding.decoded.toStdString();
    return true;
}

/// Reads the optional `encoding` attribute; false after raising an error for an unknown encoding.
bool readEncoding(QXmlStreamReader& reader, bool& base64)
{
    const QXmlStreamAttributes attributes = reader.attributes();
    base64 = false;
    if (!attributes.hasAttribute(QStringLiteral("encoding")))
        return true;
    const QStringRef value = attributes.value(QStringLiteral("encoding"));
    if (value != QLatin1String("base64"))
    {
        reader.raiseError(QStringLiteral("unknown encoding \"%1\"").arg(value));
        return false;
    }
    base64 = true;
    return true;
}

/// Refuses attributes other than the allowed ones (a misspelt "defualt" must not silently lose the default).
bool checkAttributeNames(QXmlStreamReader& reader, std::initializer_list<const char*> allowed)
{
    for (const QXmlStreamAttribute& attribute : reader.attributes())
    {
        const QStringRef name = attribute.qualifiedName();
        const bool known =
          std::any_of(allowed.begin(), allowed.end(), [&](const char* a) { return name == QLatin1String(a); });
        if (!known)
        {
            reader.raiseError(QStringLiteral("unknown attribute \"%1\" on <%2>").arg(name).arg(reader.qualifiedName()));
            return false;
        }
    }
    return true;
}

bool readText(QXmlStreamReader& reader, const char* attribute, bool base64, std::string& result)
{
    if (decoded(reader.attributes().value(QLatin1String(attribute)), base64, result))
        return true;
    reader.raiseError(QStringLiteral("attribute \"%1\" is not valid Base64").arg(QLatin1String(attribute)));
    return false;
}

std::string tooLarge(long long size, const PropertiesXml::Limits& limits)
{
    return fmt::format("{} bytes, more than the {} bytes a properties document may have", size, limits.maxBytes);
}

/// A file that grows while it is read (or whose size the system did not tell) is held to the same bound.
bool grewTooLarge(const QXmlStreamReader& reader, const PropertiesXml::Limits& limits)
{
    return reader.device() && reader.device()->pos() > limits.maxBytes;
}

void logError(const std::string& source, const QXmlStreamReader& reader)
{
    Log::logf(Log::Error, kCategory, "{}:{}:{}: {}", source, reader.lineNumber(), reader.columnNumber(),
              reader.errorString().toStdString());
}
} // namespace

void PropertiesXml::writeNode(QXmlStreamWriter& writer, const Properties& node)
{
    writer.writeStartElement(QStringLiteral("properties"));
    const bool nameBase64 = !isXmlText(node.m_name);
    if (nameBase64)
        writer.writeAttribute(QStringLiteral("encoding"), QStringLiteral("base64"));
    writer.writeAttribute(QStringLiteral("name"), encoded(node.m_name, nameBase64));

    for (const Properties::Param& p : node.m_params)
    {
        writer.writeStartElement(QStringLiteral("param"));
        const bool base64 = !isXmlText(p.key) || !isXmlText(p.value) || (p.hasDefault && !isXmlText(p.defaultValue)) ||
                            !isXmlText(p.attributes) || !isXmlText(p.label);
        if (base64)
            writer.writeAttribute(QStringLiteral("encoding"), QStringLiteral("base64"));
        writer.writeAttribute(QStringLiteral("key"), encoded(p.key, base64));
        writer.writeAttribute(QStringLiteral("value"), encoded(p.value, base64));
        if (p.hasDefault)
            writer.writeAttribute(QStringLiteral("default"), encoded(p.defaultValue, base64));
        if (p.type != ParamTypeUnknown)
            writer.writeAttribute(QStringLiteral("type"), QString::number(p.type));
        if (!p.attributes.empty())
            writer.writeAttribute(QStringLiteral("attributes"), encoded(p.attributes, base64));
        if (!p.label.empty())
            writer.writeAttribute(QStringLiteral("label"), encoded(p.label, base64));
        writer.writeEndElement();
    }

    for (const auto& child : node.m_children)
        writeNode(writer, *child);
    writer.writeEndElement();
}

std::string PropertiesXml::write(const Properties& properties)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QXmlStreamWriter writer(&buffer);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(2);
    writer.writeStartDocument();
    writeNode(writer, properties);
    writer.writeEndDocument();
    return bytes.toStdString();
}

bool PropertiesXml::readParam(QXmlStreamReader& reader, Properties& node, std::unordered_set<std::string>& keys)
{
    bool base64 = false;
    if (!checkAttributeNames(reader, { "encoding", "key", "value", "default", "type", "attributes", "label" }) ||
        !readEncoding(reader, base64))
        return false;
    const QXmlStreamAttributes attributes = reader.attributes();
    if (!attributes.hasAttribute(QStringLiteral("key")))
    {
        reader.raiseError(QStringLiteral("<param> without a \"key\" attribute"));
        return false;
    }

    Properties::Param p;
    if (!readText(reader, "key", base64, p.key) || !readText(reader, "value", base64, p.value) ||
        !readText(reader, "attributes", base64, p.attributes) || !readText(reader, "label", base64, p.label))
        return false;
    p.hasDefault = attributes.hasAttribute(QStringLiteral("default"));
    if (p.hasDefault && !readText(reader, "default", base64, p.defaultValue))
        return false;
    if (attributes.hasAttribute(QStringLiteral("type")))
    {
        const std::string typeText = attributes.value(QStringLiteral("type")).toString().toStdString();
        if (!PropertyText::fromText(typeText, p.type))
        {
            reader.raiseError(QStringLiteral("parameter type \"%1\" is not an integer").arg(typeText.c_str()));
            return false;
        }
    }
    if (!keys.insert(p.key).second)
    {
        reader.raiseError(QStringLiteral("duplicate key \"%1\"").arg(QString::fromStdString(p.key)));
        return false;
    }
    node.m_params.push_back(std::move(p));
    return true;
}

std::unique_ptr<Properties> PropertiesXml::read(const std::string& xml, const std::string& sourceName,
                                                const Limits& limits)
{
    if (xml.size() > size_t(std::min<long long>(limits.maxBytes, std::numeric_limits<int>::max())))
    {
        Log::logf(Log::Error, kCategory, "{}:1:0: {}", sourceName,
                  tooLarge(static_cast<long long>(xml.size()), limits));
        return nullptr;
    }
    const QByteArray bytes = QByteArray::fromRawData(xml.data(), int(xml.size()));
    QXmlStreamReader reader(bytes);
    return parse(reader, sourceName, limits);
}

std::unique_ptr<Properties> PropertiesXml::parse(QXmlStreamReader& reader, const std::string& sourceName,
                                                 const Limits& limits)
{
    // Parsed without recursion, with an explicit stack of open nodes, so that a hostile file cannot exhaust the
    // call stack; the depth limit also bounds the recursion of the finished tree's destructor and writer.
    std::unique_ptr<Properties> root;
    std::vector<Properties*> open;
    std::vector<std::unordered_set<std::string>> openKeys;
    long long elements = 0;
    bool inParam = false;
    while (!reader.atEnd() && !reader.hasError())
    {
        switch (reader.readNext())
        {
            case QXmlStreamReader::StartElement:
            {
                const QStringRef element = reader.qualifiedName();
                if (++elements > limits.maxElements)
                    reader.raiseError(QStringLiteral("more than %1 elements").arg(limits.maxElements));
                else if (grewTooLarge(reader, limits))
                    reader.raiseError(QString::fromStdString(tooLarge(reader.device()->pos(), limits)));
                else if (inParam)
                    reader.raiseError(QStringLiteral("unexpected element <%1> inside <param>").arg(element));
                else if (open.empty() && element != QLatin1String("properties"))
                    reader.raiseError(QStringLiteral("root element must be <properties>, not <%1>").arg(element));
                else if (element == QLatin1String("param"))
                    inParam = readParam(reader, *open.back(), openKeys.back());
                else if (element == QLatin1String("properties"))
                {
                    bool base64 = false;
                    std::string name;
                    if (!checkAttributeNames(reader, { "encoding", "name" }) || !readEncoding(reader, base64))
                        break;
                    if (!reader.attributes().hasAttribute(QStringLiteral("name")))
                        reader.raiseError(QStringLiteral("<properties> without a \"name\" attribute"));
                    else if (int(open.size()) >= maxDepth)
                        reader.raiseError(QStringLiteral("properties nested deeper than %1 levels").arg(maxDepth));
                    else if (readText(reader, "name", base64, name))
                    {
                        if (open.empty())
                        {
                            root = std::make_unique<Properties>(name);
                            open.push_back(root.get());
                        }
                        else
                            open.push_back(open.back()->addSubProperties(name));
                        openKeys.emplace_back();
                    }
                }
                else
                    reader.raiseError(QStringLiteral("unknown element <%1>").arg(element));
                break;
            }
            case QXmlStreamReader::EndElement:
                if (inParam)
                    inParam = false;
                else
                {
                    open.pop_back();
                    openKeys.pop_back();
                }
                break;
            case QXmlStreamReader::Characters:
                // isWhitespace() is false for CDATA sections, so blank CDATA is checked by hand.
                if (!isBlank(reader.text()))
                    reader.raiseError(QStringLiteral("unexpected text"));
                break;
            case QXmlStreamReader::DTD:
                reader.raiseError(QStringLiteral("document type declarations are not accepted"));
                break;
            case QXmlStreamReader::EntityReference:
                reader.raiseError(QStringLiteral("unresolved entity \"%1\"").arg(reader.name()));
                break;
            default:
                // Document start and end, comments, processing instructions.
                break;
        }
    }
    if (!reader.hasError() && !root)
        reader.raiseError(QStringLiteral("no <properties> element"));
    if (reader.hasError())
    {
        logError(sourceName, reader);
        return nullptr;
    }
    return root;
}

bool PropertiesXml::writeFile(const Properties& properties, const std::string& path)
{
    std::string error;
    if (AtomicFile::writeFile(path, write(properties), &error))
        return true;
    Log::log(Log::Error, kCategory, error);
    return false;
}

std::unique_ptr<Properties> PropertiesXml::readFile(const std::string& path, const Limits& limits)
{
    if (const std::string why = FileSystem::whyNotReadable(path); !why.empty())
    {
        Log::logf(Log::Error, kCategory, "{}: cannot open: {}", path, why);
        return nullptr;
    }
    if (const long long size = FileSystem::fileSize(path); size > limits.maxBytes)
    {
        Log::logf(Log::Error, kCategory, "{}: {}", path, tooLarge(size, limits));
        return nullptr;
    }
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
    {
        Log::logf(Log::Error, kCategory, "{}: cannot open: {}", path, file.errorString().toStdString());
        return nullptr;
    }
    // Read from the file as it parses, so that the text is never held whole beside the tree it makes.
    QXmlStreamReader reader(&file);
    auto tree = parse(reader, path, limits);
    if (tree && file.error() != QFileDevice::NoError)
    {
        Log::logf(Log::Error, kCategory, "{}: cannot read: {}", path, file.errorString().toStdString());
        return nullptr;
    }
    return tree;
}

} // namespace Kelvaros

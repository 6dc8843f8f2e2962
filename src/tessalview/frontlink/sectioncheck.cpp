#include "sectioncheck.h"

#include "logging.h"
#include "sectiondecoders.h"
#include "tupwire.h"

namespace Tessal
{

namespace
{

const uint8_t* bytesOf(const QByteArray& a)
{
    return reinterpret_cast<const uint8_t*>(a.constData());
}

} // namespace

// The checks every section decoder makes before reading the payload, in
// their order: own type, minimum length, bytes handed over, target.
bool SectionDecoding::checkSection(quint16 type, quint16 ownType, quint16 length, quint16 minimum,
                                   const QByteArray& section, const void* target, bool warning)
{
    const char* failure = nullptr;
    if (type != ownType)
        failure = "Bad type";
    else if (length < minimum)
        failure = "Too short";
    else if (section.size() != length)
        failure = "Payload size mismatch";
    else if (target == nullptr)
        failure = "Null pointer";
    if (failure == nullptr)
        return true;
    if (warning)
        qCWarning(lcFrontLink).noquote() << failure;
    else
        qCDebug(lcFrontLink).noquote() << failure;
    return false;
}

bool SectionCheck::handleSectionCore(quint16 type, quint16 length, const QByteArray& section,
                                     std::vector<tup::core_tmp>* target, quint16* outCount)
{
    // A Core section has no minimum length: a length field short of the
    // bytes handed over is a size mismatch like any other.
    if (!SectionDecoding::checkSection(type, tup::SECT_CORE, length, 0, section, target, true))
        return false;
    const size_t head = tup::TUP_SECTION_HEAD;
    if (length < head) {
        // Only a caller handing over fewer bytes than a section head gets here.
        qCWarning(lcFrontLink).noquote() << "Too short";
        return false;
    }
    std::vector<tup::core_tmp> items;
    if (!tup::parseCoreItems(bytesOf(section) + head, static_cast<size_t>(length) - head, items))
        qCWarning(lcFrontLink).noquote()
            << QString("Core item %1 runs past the end of the section. Stop "
                       "item list")
                   .arg(items.size() + 1);
    target->swap(items);
    if (outCount != nullptr)
        *outCount = length;
    return true;
}

} // namespace Tessal

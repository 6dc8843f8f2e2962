#include "sectionvisitor.h"

#include "tupwire.h"

namespace tup
{

void SectionVisitor::onDevInfo(const section_view_s&, const devinfo_s&) {}
void SectionVisitor::onGpioState(const section_view_s&, const gpiostate_s&) {}
void SectionVisitor::onNetCfg(const section_view_s&, const netcfg_s&) {}
void SectionVisitor::onSnmpCfg(const section_view_s&, const snmpcfg_s&) {}
void SectionVisitor::onModbusCfg(const section_view_s&, const modbuscfg_s&) {}
void SectionVisitor::onCore(const section_view_s&, const std::vector<core_tmp>&) {}
bool SectionVisitor::acceptTruncatedCore(const section_view_s&, const std::vector<core_tmp>&)
{
    return false;
}
void SectionVisitor::onSectionError(const section_view_s&, SectionOutcome, DecodeStatus) {}
void SectionVisitor::onLog(const std::string&) {}
void SectionVisitor::onSectionDone(const section_view_s&, SectionOutcome) {}

namespace
{

template <class Record> using Decoder = DecodeStatus (*)(const uint8_t*, size_t, Record&);
template <class Record>
using Handler = void (SectionVisitor::*)(const section_view_s&, const Record&);

// Decodes a section into a fresh record and hands it on; the decoder's
// status is the result.
template <class Record>
DecodeStatus deliver(const section_view_s& s, Decoder<Record> decode, Handler<Record> handler,
                     SectionVisitor& visitor)
{
    Record record;
    const DecodeStatus status = decode(s.bytes, s.size, record);
    if (status == DecodeStatus::Ok)
        (visitor.*handler)(s, record);
    return status;
}

DecodeStatus deliverCore(const section_view_s& s, SectionVisitor& visitor)
{
    std::vector<core_tmp> items;
    const DecodeStatus status = decodeCore(s.bytes, s.size, items);
    if (status == DecodeStatus::BadItems) {
        // The section checks passed, so its head is there: parse again to
        // find the items that fit.
        parseCoreItems(s.bytes + TUP_SECTION_HEAD, s.size - TUP_SECTION_HEAD, items);
        if (!visitor.acceptTruncatedCore(s, items))
            return status;
    } else if (status != DecodeStatus::Ok) {
        return status;
    }
    visitor.onCore(s, items);
    return DecodeStatus::Ok;
}

DecodeStatus dispatch(const section_view_s& s, SectionVisitor& v)
{
    switch (s.type) {
    case SECT_DEVINFO:
        return deliver<devinfo_s>(s, decodeDevInfo, &SectionVisitor::onDevInfo, v);
    case SECT_GPIOSTATE:
        return deliver<gpiostate_s>(s, decodeGpioState, &SectionVisitor::onGpioState, v);
    case SECT_NETCFG:
        return deliver<netcfg_s>(s, decodeNetCfg, &SectionVisitor::onNetCfg, v);
    case SECT_SNMPCFG:
        return deliver<snmpcfg_s>(s, decodeSnmpCfg, &SectionVisitor::onSnmpCfg, v);
    case SECT_MODBUSCFG:
        return deliver<modbuscfg_s>(s, decodeModbusCfg, &SectionVisitor::onModbusCfg, v);
    case SECT_CORE:
        return deliverCore(s, v);
    }
    // The walk hands over known types only.
    return DecodeStatus::BadType;
}

} // namespace

size_t visitSections(const uint8_t* frame, size_t frameSize, SectionVisitor& visitor)
{
    return walkSections(
        frame, frameSize,
        [&](const section_view_s& s) {
            const DecodeStatus status = dispatch(s, visitor);
            if (status != DecodeStatus::Ok)
                visitor.onSectionError(s, SectionOutcome::DecodeFailed, status);
            return status == DecodeStatus::Ok;
        },
        [&](const std::string& line) { visitor.onLog(line); },
        [&](const section_view_s& s, SectionOutcome outcome) { visitor.onSectionDone(s, outcome); },
        [&](const section_view_s& s, SectionOutcome outcome) {
            visitor.onSectionError(s, outcome, DecodeStatus::Ok);
        });
}

} // namespace tup

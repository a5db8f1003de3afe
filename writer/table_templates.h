// The column sets of the template tables every store holds ([MS-PST] 2.4.4.4.1, 2.4.4.5.1,
// 2.4.4.6.1, 2.4.5.3.1, 2.4.6.1.1, and the search contents table as Outlook writes it): what
// every folder's, message's and search folder's tables carry at least. PidTagLtpRowId and
// PidTagLtpRowVer, which every table has, are not listed.
#pragma once

#include <cstdint>
#include <vector>

namespace palvara {

using Tags = std::vector<std::uint32_t>;

inline const Tags kHierarchyColumns = {0x0E300102, 0x0E330014, 0x0E340102, 0x0E380003,
                                       0x3001001F, 0x36020003, 0x36030003, 0x360A000B,
                                       0x3613001F, 0x66350003, 0x66360003};
inline const Tags kContentsColumns = {
    0x00170003, 0x001A001F, 0x00360003, 0x0037001F, 0x00390040, 0x0042001F, 0x0057000B,
    0x0058000B, 0x0070001F, 0x00710102, 0x0E03001F, 0x0E04001F, 0x0E060040, 0x0E070003,
    0x0E080003, 0x0E170003, 0x0E300102, 0x0E330014, 0x0E340102, 0x0E380003, 0x0E3C0102,
    0x0E3D0102, 0x10970003, 0x30080040, 0x30130102, 0x65C60003};
inline const Tags kAssociatedColumns = {0x001A001F, 0x0E070003, 0x0E170003, 0x3001001F, 0x6800001F,
                                        0x6803000B, 0x68051003, 0x682F001F, 0x70030003, 0x70040102,
                                        0x70050102, 0x7006001F, 0x70070003};
inline const Tags kSearchContentsColumns = {
    0x00170003, 0x001A001F, 0x00360003, 0x0037001F, 0x0042001F, 0x0057000B,
    0x0058000B, 0x0E03001F, 0x0E04001F, 0x0E05001F, 0x0E060040, 0x0E070003,
    0x0E080003, 0x0E170003, 0x0E2A000B, 0x30080040, 0x67F10003};
inline const Tags kAttachmentColumns = {0x0E200003, 0x3704001F, 0x37050003, 0x370B0003};
// Columns Outlook adds to a message's attachment table when an attachment has the property:
// display name, extension, long file name, MIME tag, content id, flags, link id, the start and
// end of a recurrence exception, attachment flags, hidden, contact photo. Readers name and list
// attachments from them.
inline const Tags kAttachmentListingColumns = {
    0x3001001F, 0x3703001F, 0x3707001F, 0x370E001F, 0x3712001F, 0x37140003, 0x7FFA0003,
    0x7FFB0040, 0x7FFC0040, 0x7FFD0003, 0x7FFE000B, 0x7FFF000B};
inline const Tags kRecipientColumns = {0x0C150003, 0x0E0F000B, 0x0FF90102, 0x0FFE0003,
                                       0x0FFF0102, 0x3001001F, 0x3002001F, 0x3003001F,
                                       0x300B0102, 0x39000003, 0x39FF001F, 0x3A40000B};

}  // namespace palvara

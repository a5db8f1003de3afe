// A contact as a vCard 4.0 (RFC 6350): names, every e-mail address, phones, postal addresses,
// company and title, birthday and anniversary, web pages, notes and the photo.
#pragma once

#include <string>

#include "export/source_message.h"

namespace palvara {

// One "BEGIN:VCARD" ... "END:VCARD" block, lines ending in "\r\n".
std::string RenderVCard(const SourceMessage& contact);

}  // namespace palvara

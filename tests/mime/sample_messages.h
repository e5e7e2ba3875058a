// The messages of the golden files, shared by the golden comparison and the independent decoder.
#pragma once

#include <string>
#include <vector>

#include "mime/render.h"
#include "support/temp_dir.h"

namespace tessel::mime::samples {

inline const HeaderCharset kLatin{"ISO-8859-1", 'Q', false};
inline const RenderContext kContext{"0123456789=_ABCDEFGHIJKLMNOPQRSTUV", "Tue, 5 Jan 2010 14:03:07 +0100", kLatin};

inline const std::string kReportBytes = "The quick brown fox jumps over the lazy dog. 0123456789 ABCDEFGHIJ";

inline OutgoingMessage BaseMessage() {
    OutgoingMessage m;
    m.From = {"First Last", "me@example.com"};
    m.Sender = m.From;
    m.Recipients = {{"", "you@example.org"}, {"Last, First", "other@example.org"}};
    m.Subject = "Monthly report r\xE9sum\xE9";
    m.MessageId = "<42.00112233445566778899aabbccddeeff@host.example>";
    return m;
}

// Sample - a message, the golden file it renders to, and its attachment files' bytes in order.
struct Sample {
    std::string Golden;
    OutgoingMessage Message;
    std::vector<std::string> AttachmentBytes;
};

// Samples - every golden message; attachment files are written into dir.
inline std::vector<Sample> Samples(const tessel::test::TempDir& dir) {
    std::vector<Sample> samples;

    OutgoingMessage plain = BaseMessage();
    plain.Body = mime::BodyText::FromLines({"Hello,", "", ".", "..", ".hidden", "Regards"});
    samples.push_back({"mail_plain.eml", plain, {}});

    OutgoingMessage single = BaseMessage();
    single.From = {"", "me@example.com"};
    single.Sender = single.From;
    single.Body = mime::BodyText::FromLines({"   ", "\t "});
    single.Attachments = {{dir.Write("report.txt", kReportBytes), "report.txt"}};
    samples.push_back({"mail_single_attachment.eml", single, {kReportBytes}});

    OutgoingMessage multipart = BaseMessage();
    multipart.Body = mime::BodyText::FromLines({"See the attached files.", ".signature"});
    multipart.Attachments = {{dir.Write("report.txt", kReportBytes), "report.txt"},
                             {dir.Write("empty.bin", ""), "empty.bin"}};
    samples.push_back({"mail_multipart.eml", multipart, {kReportBytes, ""}});

    // Latin-1 text in the body and in the sender's name.
    OutgoingMessage plain8 = BaseMessage();
    plain8.From = {"Sec\xE7\xE3o de Arquivo", "arquivo@example.com"};
    plain8.Sender = plain8.From;
    plain8.Body = mime::BodyText::FromLines({"Caro cliente,", "", "o relat\xF3rio de mar\xE7o est\xE1 pronto.", ".", "Obrigado"});
    samples.push_back({"mail_plain_8bit.eml", plain8, {}});

    // A body line of 1,799 bytes, with Latin-1 letters, an "=" and a blank at its end.
    std::string longLine;
    while (longLine.size() < 1798) longLine += "Linha longa: a=b, ol\xE1! ";
    longLine.resize(1798);
    longLine += ' ';
    OutgoingMessage longMessage = BaseMessage();
    longMessage.Body = mime::BodyText::FromLines({"Short line", longLine, ".last"});
    samples.push_back({"mail_long_line.eml", longMessage, {}});

    // A Latin-1 text part and attachment names with Latin-1 letters, one long enough to be cut.
    const std::string longName = "relat\xF3rio anual da sec\xE7\xE3o de arquivo e documenta\xE7\xE3o, vers\xE3o final.txt";
    OutgoingMessage multipart8 = BaseMessage();
    multipart8.Body = mime::BodyText::FromLines({"Segue em anexo o relat\xF3rio.", "Cumprimentos"});
    multipart8.Attachments = {{dir.Write("march.txt", kReportBytes), "relat\xF3rio_mar\xE7o.txt"},
                              {dir.Write("long.txt", "x\xFFy"), longName}};
    samples.push_back({"mail_8bit_multipart.eml", multipart8, {kReportBytes, "x\xFFy"}});
    return samples;
}

}  // namespace tessel::mime::samples

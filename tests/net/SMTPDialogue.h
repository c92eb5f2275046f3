// SMTPDialogue.h: an SMTP server's side of the tests' plain dialogue for the scripted
// loopback server: one message for one recipient, taken or refused.
#pragma once

#include <string>

#include "net/ScriptedServer.h"

// Greeting, HELO and MAIL FROM are taken; the recipient gets recipientReply. When that is
// a 2xx reply the message text follows and gets verdict. QUIT ends the dialogue.
inline ScriptedServer::Script &SMTPDialogue(ScriptedServer::Script &script,
                                            const std::string &recipientReply = "250 ok",
                                            const std::string &verdict = "250 queued") {
    script.send("220 smtp.test\r\n")
        .receiveUntil("HELO")
        .send("250 hi\r\n")
        .receiveUntil("MAIL FROM")
        .send("250 ok\r\n")
        .receiveUntil("RCPT TO")
        .send(recipientReply + "\r\n");
    if (!recipientReply.empty() && recipientReply[0] == '2')
        script.receiveUntil("DATA\r\n").send("354 go\r\n").receiveUntil("\r\n.\r\n").send(verdict + "\r\n");
    return script.receiveUntil("QUIT\r\n").send("221 bye\r\n");
}

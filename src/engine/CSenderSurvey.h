#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/CConnectionSettings.h"

class CMailContent;

// Who wrote the mail now waiting on a POP3 server: the headers of every
// message (TOP n 0), tallied by sender. Only reads: nothing on the server
// changes. Runs on a worker thread; the caller may cancel through a flag.
class CSenderSurvey {
public:
    struct Sender {
        std::string address;  // lower case
        std::string name;     // the display name of the latest message
        int count = 0;
        // Of the message added last: servers list mail in arrival order.
        std::string latestSubject;
        // Every message from this sender looked written by a person: no
        // list, automatic or bulk mail, no bounce or no-reply address.
        bool personal = true;
    };

    // Adds one message's header to the tally; a header without a sender
    // address adds nothing.
    void Add(const CMailContent& header);
    // The senders, most messages first, then by address.
    std::vector<Sender> Result() const;

    // Connects to server, reads every header and logs out. progress(done,
    // total) is called after each message. False, with ErrorText, when the
    // connection or a header fails or *cancel became true (the senders
    // tallied so far stay).
    bool Run(const CConnectionSettings::Server& server, const std::atomic<bool>* cancel,
             const std::function<void(int, int)>& progress);
    const std::string& ErrorText() const { return m_error; }

    // An address a person does not write from: bounces and no-reply boxes.
    static bool IsMachineAddress(const std::string& address);

private:
    std::map<std::string, Sender> m_senders;
    std::string m_error;
};

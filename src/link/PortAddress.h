// CPortAddress: what a port text names. "rfc2217://HOST:PORT" is a serial device server spoken
// to by telnet with the COM-PORT-OPTION (RFC 2217), "tcp://HOST:PORT" (or "socket://HOST:PORT",
// as serial libraries name it) one that passes raw bytes; anything else is a local serial
// device (see CSerialPort::DevicePath).
//
// HOST is a name or an IPv4 address, or an IPv6 address in brackets ("[::1]"); PORT is a
// decimal number from 1 to 65535. The scheme is matched without regard to case. Nothing is
// looked up here: resolving the name is the opener's business.
#pragma once

#include <cstdint>
#include <string>

struct CPortAddress {
    enum Kind { LOCAL, RFC2217, RAW_TCP };

    Kind m_nKind = LOCAL;
    std::string m_strHost;  // without brackets
    uint16_t m_nPort = 0;

    // true with the kind, host and port of a network address, and true with LOCAL for a text
    // without a network scheme. false for a network scheme followed by no valid HOST:PORT;
    // the address is then LOCAL with an empty host.
    static bool Parse(const std::string& text, CPortAddress& address);
    // True when the text begins with a network scheme (parsing may still fail).
    static bool IsNetwork(const std::string& text);
    // Whether text can name a port at all, judged without opening anything: a network address
    // that Parse accepts, "COMn" with n from 1, or an absolute device path. true with the
    // address filled in; false with strReason saying what is wrong, for a person ("unknown
    // scheme http://", "tcp://h:99999: the TCP port is not a number from 1 to 65535").
    static bool Check(const std::string& text, CPortAddress& address, std::string& strReason);
    // "rfc2217://host:port" or "tcp://host:port" as typed back (IPv6 hosts in brackets; a
    // "socket://" address comes back as "tcp://").
    std::string Text() const;
};

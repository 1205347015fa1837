#pragma once
// What the SOCKS tests share: byte strings, a scripted proxy's replies, the socket's events in
// a log.

#include <initializer_list>
#include <string>
#include <vector>

#include "EventSocket.h"
#include "EventSocketFixture.h"

inline std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (const int value : values) bytes += static_cast<char>(value);
    return bytes;
}

// Writes Reply at the proxy's end, byte by byte when Split, and serves the queue until the
// socket has read each piece.
inline void Reply(TCustomEventSocket& socket, int proxy, const std::string& reply, bool split) {
    const auto consumed = [&] {
        ULONG pending = 0;
        return socket.HSocket() == INVALID_SOCKET ||
               BoundWinsock::ioctlsocket(socket.HSocket(), FIONREAD, &pending) != 0 || pending == 0;
    };
    const std::size_t step = split ? 1 : reply.size();
    for (std::size_t at = 0; at < reply.size(); at += step) {
        ASSERT_EQ(PosixPeer::Write(proxy, reply.substr(at, step)), static_cast<long>(std::min(step, reply.size() - at)));
        PumpFor(2);
        ASSERT_TRUE(PumpUntil(consumed));
        PumpFor(2);
    }
}

// Connect of socket to Target:TargetPort through the proxy on ProxyPort of the loopback.
inline void ConnectThrough(TCustomSocksEventSocket& socket, USHORT proxyPort, const std::string& level,
                           const std::string& target, USHORT targetPort) {
    socket.SetSocksServer("127.0.0.1");
    socket.SetSocksPort(IntToStr(proxyPort));
    socket.SetSocksLevel(level);
    socket.SetAddr(target);
    socket.SetPort(IntToStr(targetPort));
    socket.Connect();
}

// The socket's connection, SOCKS and data events, in order, into Log; the data into Received.
inline void RecordSocks(TCustomSocksEventSocket& socket, std::vector<std::string>& Log, std::string& Received) {
    const auto entry = [&Log](const char* name) {
        return [&Log, name](TObject*, WORD code) { Log.push_back(std::string(name) + " " + IntToStr(code)); };
    };
    socket.OnSessionConnected = entry("connected");
    socket.OnSessionClosed = entry("closed");
    socket.OnSocksConnected = entry("socksconnected");
    socket.OnSocksError = [&Log](TObject*, int error, const std::string& msg) {
        Log.push_back("sockserror " + IntToStr(error) + " " + msg);
    };
    socket.OnSocksAuthState = [&Log](TObject*, TSocksAuthState state) { Log.push_back("auth " + IntToStr(state)); };
    socket.OnDataAvailable = [&Log, &Received, &socket](TObject*, WORD code) {
        Log.push_back("data " + IntToStr(code));
        Received += socket.ReceiveText();
    };
}

// attach_test_client SOCKET UID: a process that attaches over the object RPC, for the
// end-to-end tests of the Server object.
//
// It becomes UID (when it runs as root), connects to the Server object at SOCKET and
// answers commands from stdin, one per line:
//     init PID|self NAME   → "ok <port> <key>" or "fail <hresult>"
//     term KEY             → "ok" or "fail <hresult>"
// It stays alive until stdin ends, so the processes it attaches stay alive with it.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "com/CComVariant.h"
#include "idl/Identifiers.h"
#include "rpc/RpcConnection.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: attach_test_client SOCKET UID\n");
        return 2;
    }
    const uid_t uid = static_cast<uid_t>(std::stoul(argv[2]));
    if (getuid() == 0 && uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) {
        std::perror("setuid");
        return 2;
    }
    std::shared_ptr<CRpcConnection> connection;
    CComPtr<IUnknown> root;
    HRESULT hr = CRpcConnection::Connect(argv[1], &connection);
    if (SUCCEEDED(hr))
        hr = connection->GetRoot(root.Receive());
    CComPtr<IRpcCall> server = ComQuery<IRpcCall>(root.Get());
    if (FAILED(hr) || !server) {
        std::printf("fail %s\n", HResultToString(FAILED(hr) ? hr : E_NOINTERFACE).c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, first, name;
        words >> command >> first;
        std::getline(words >> std::ws, name);
        CComVariant result;
        if (command == "init") {
            const LONG pid = first == "self" ? static_cast<LONG>(getpid()) : std::stol(first);
            USHORT port = 0;
            BSTR key;
            VARIANT args[5];
            for (auto& a : args)
                VariantInit(&a);
            args[0].vt = VT_I4;
            args[0].lVal = pid;
            VariantSetBstr(&args[1], BSTR::FromUtf8(name));
            args[3].vt = VT_UI2 | VT_BYREF;
            args[3].puiVal = &port;
            args[4].vt = VT_BSTR | VT_BYREF;
            args[4].pbstrVal = &key;
            hr = server->RpcCall(IID_ISocketServer, 1, 5, args, &result);
            VariantClear(&args[1]);
            if (SUCCEEDED(hr))
                std::printf("ok %u %s\n", port, key.ToUtf8().c_str());
            else
                std::printf("fail %s\n", HResultToString(hr).c_str());
        } else if (command == "term") {
            CComVariant arg(BSTR::FromUtf8(first));
            hr = server->RpcCall(IID_ISocketServer, 2, 1, &arg, &result);
            std::printf(SUCCEEDED(hr) ? "ok\n" : "fail %s\n", HResultToString(hr).c_str());
        } else {
            std::printf("fail unknown command\n");
        }
        std::fflush(stdout);
    }
    root = nullptr;
    connection->Close();
    return 0;
}

// Slows the WebSocket logins of an address after one of them failed.
#ifndef KT_LOGIN_THROTTLE_H
#define KT_LOGIN_THROTTLE_H

#include <string>

// Waits for this attempt's turn. The wait holds no lock: other addresses,
// and the WebSocket registry, go on meanwhile.
void Wait_Login_Turn(const std::string& address);
// A login from the address failed: its episode starts or goes on.
void Note_Login_Failure(const std::string& address);

#endif

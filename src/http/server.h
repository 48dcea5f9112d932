#pragma once
int srv_listen(int base_port);
void srv_accept_loop();

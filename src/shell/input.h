// Keyboard commands.
#pragma once

// Keys currently down, by the low 8 bits of the virtual-key code.
extern bool keys[256];

void key_down(unsigned int key);
void key_up(unsigned int key);

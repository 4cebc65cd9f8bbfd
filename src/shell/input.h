// Keyboard commands.
#pragma once

#include "shell/program.h"

void key_down(Program &program, unsigned int key);
void key_up(Program &program, unsigned int key);

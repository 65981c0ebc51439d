// The timed yes/no question on standard input.
#pragma once

namespace bladeboot {

// Prints question and "(y/n) ", waits up to 5 s for the answer; 1 for "y",
// 0 for "n", silence, an interrupt or a console that has ended.
int yesno_question(const char* question);

}  // namespace bladeboot

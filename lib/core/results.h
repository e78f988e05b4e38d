// The texts of every operation's results (osl_result_text), kept in one
// table so the programs' explanations and the tests read the same words.
#pragma once

// The GPIO lines osl_bt_open was given last, lamps 1 to 3: the texts of the
// lamp results name the line that failed.
void osl_results_note_pins(int pin_rx, int pin_tx, int pin_pwr);

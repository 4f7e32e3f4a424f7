// The program's name and date: first console line, title of every message
// box and caption of the progress window.
#pragma once

#define BANNER "VOIDFILL Jan 11 2008"

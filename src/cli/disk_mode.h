// Disk mode: every drive letter whose volume lies on one physical disk.
#pragma once

// Argument: a digit followed by ':'. Confirms, then fills each matching drive.
void run_disk_mode(const char *argument);

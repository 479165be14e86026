// Start of the game, the last step of every run.
#pragma once

extern const char GameExeName[];

// Starts the game from the current folder without waiting for it; when that
// fails, tells the player and waits for a key so the message can be read.
void LaunchGame();

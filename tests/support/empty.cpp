// Keeps the test support library non-empty while no shared helper exists yet.

example data archive 01000, release 1.01

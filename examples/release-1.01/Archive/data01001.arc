example data archive 01001, unchanged since 1.01

PIECE = "pc"
KILOGRAM = "kg"
LITRE = "l"

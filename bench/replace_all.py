s = "abc-defg-" * 1165085
s = s.replace("-", "+=")
print(len(s))
print(s[:12])

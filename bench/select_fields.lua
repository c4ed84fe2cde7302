local rec = {f1 = 1, f2 = 2, f3 = 3, f4 = 4, f5 = 5, f6 = 6, f7 = 7, f8 = 8, f9 = 9, f10 = 10}
local keys = {"f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8", "f9", "f10"}
local s = 0
for i = 1, 1000000 do s = s + rec[keys[i % 10 + 1]] end
print(s)

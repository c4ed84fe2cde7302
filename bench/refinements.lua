local function f(a, twice, add)
  if twice then a = a * 2 end
  if add then a = a + add end
  return a
end
local s = 0
for i = 1, 1000000 do s = s + f(i, true, 1) - i - i end
print(s)

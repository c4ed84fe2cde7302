local function f(x)
  if x > 0 then return x + 1 end
  return 0
end
local s = 0
for i = 1, 1000000 do s = s + f(i) - i end
print(s)

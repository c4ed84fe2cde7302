local n = 0
for i = 1, 100000 do
  local ok = pcall(function() if i then error("zero-divide") end end)
  if not ok then n = n + 1 end
end
print(n)

local function fib(n)
  if n == 0 or n == 1 then return n end
  return fib(n - 1) + fib(n - 2)
end
print(fib(30))
